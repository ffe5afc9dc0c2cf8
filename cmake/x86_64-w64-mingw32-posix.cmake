# The 64-bit cross toolchain with the posix thread model, for the Windows test program only
# (see i686-w64-mingw32-posix.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/x86_64-w64-mingw32.cmake)

set(CMAKE_C_COMPILER ${DAP32_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DAP32_MINGW_PREFIX}-g++-posix)
