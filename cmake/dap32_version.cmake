# The library's version comes from one place, its version marker ("$VER 0116 BLD 000C$":
# version word 0x0116, read as major 1, minor 1, patch 6; build 12), so the file names, the
# package files and the Windows version resource always agree with what dapGetInteger says.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../frame/settings.cpp dap32_marker
     REGEX "\\$VER [0-9A-Fa-f]+ BLD [0-9A-Fa-f]+\\$")
if(NOT dap32_marker MATCHES
   "\\$VER ([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f])([0-9A-Fa-f]) BLD ([0-9A-Fa-f]+)\\$")
  message(FATAL_ERROR "no version marker found in frame/settings.cpp")
endif()
math(EXPR DAP32_VERSION_MAJOR "0x${CMAKE_MATCH_1}")
math(EXPR DAP32_VERSION_MINOR "0x${CMAKE_MATCH_2}")
math(EXPR DAP32_VERSION_PATCH "0x${CMAKE_MATCH_3}")
math(EXPR DAP32_VERSION_BUILD "0x${CMAKE_MATCH_4}")
set(DAP32_VERSION "${DAP32_VERSION_MAJOR}.${DAP32_VERSION_MINOR}.${DAP32_VERSION_PATCH}")
# Four parts, as Windows shows file versions and as the release archive is named.
set(DAP32_FILE_VERSION "${DAP32_VERSION}.${DAP32_VERSION_BUILD}")
