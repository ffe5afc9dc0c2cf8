# cmake --install: the header, the shared library (libdap32.so.MAJOR.MINOR.PATCH with the
# SONAME libdap32.so.MAJOR), a CMake package giving dap32::dap32, and dap32.pc for pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(dap32 PROPERTIES VERSION ${DAP32_VERSION} SOVERSION ${DAP32_VERSION_MAJOR})
install(TARGETS dap32 EXPORT dap32Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/dap32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(dap32_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/dap32)
install(EXPORT dap32Targets NAMESPACE dap32:: DESTINATION ${dap32_package_dir})
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/dap32Config.cmake.in
                              ${CMAKE_BINARY_DIR}/dap32Config.cmake
                              INSTALL_DESTINATION ${dap32_package_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/dap32ConfigVersion.cmake
                                 VERSION ${DAP32_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/dap32Config.cmake ${CMAKE_BINARY_DIR}/dap32ConfigVersion.cmake
        DESTINATION ${dap32_package_dir})

file(RELATIVE_PATH DAP32_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" DAP32_PC_TO_PREFIX "${DAP32_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/dap32.pc.in ${CMAKE_BINARY_DIR}/dap32.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dap32.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
