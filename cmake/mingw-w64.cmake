# What every mingw-w64 cross toolchain of dap32 shares; the including file sets
# CMAKE_SYSTEM_PROCESSOR and DAP32_MINGW_PREFIX first (Debian's mingw-w64, win32 thread model).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${DAP32_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${DAP32_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${DAP32_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DAP32_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DLLs must load on a bare system: no libgcc_s, libstdc++ or libwinpthread DLLs beside
# them. The .def files alone decide the exports, so nothing else may be auto-exported.
set(CMAKE_SHARED_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++ -Wl,--exclude-all-symbols")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CMake's GNU rules link every DLL with --out-implib: libdap32.dll.a lands beside it.
