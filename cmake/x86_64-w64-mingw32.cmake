# Cross toolchain for the 64-bit Windows DLL (one calling convention, plain names only).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DAP32_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
