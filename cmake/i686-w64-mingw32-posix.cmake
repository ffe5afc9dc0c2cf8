# The cross toolchain with the posix thread model, for the Windows test program only: its
# scripted server uses std::thread, which the win32 model of GCC 12 lacks. The shipped DLLs
# keep the win32 model (cmake/i686-w64-mingw32.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32.cmake)

set(CMAKE_C_COMPILER ${DAP32_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DAP32_MINGW_PREFIX}-g++-posix)
