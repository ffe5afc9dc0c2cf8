# Cross toolchain for the 32-bit Windows DLLs, both export variants.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DAP32_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
