# The Windows DLLs: 32-bit with plain export names and with stdcall-decorated ones, 64-bit with
# the plain names (one calling convention). Each is linked from the library's objects with its
# .def file in api/, carries a version resource, and gets two import libraries beside it:
# libdap32.dll.a for GNU toolchains and, where llvm-dlltool is installed, dap32.lib for
# Microsoft's linker. Both are keyed by the symbols a caller of dap32.h references.
enable_language(RC)
find_program(DAP32_LLVM_DLLTOOL llvm-dlltool)

# The .def files' entries: "  dapAttach = dapAttach@8 @2" (32-bit, export = symbol @ordinal) or
# "  dapAttach @2" (x64, the symbol is the export name).
set(dap32_def_entry "^ +([^ ;=]+)( = ([^ ]+))? @([0-9]+)$")

# GNU: ld keys an import library by the export names, which stdcall callers (dapAttach@8)
# cannot link against; dlltool writes one keyed by the decorated symbols that imports each
# function under the variant's export name. On x64 symbols are undecorated and ld's own serves.
function(dap32_gnu_import_library target variant entries)
  if(variant STREQUAL "x64")
    return()
  endif()
  set(text "LIBRARY dap32\nEXPORTS\n")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "${dap32_def_entry}" "  \\3 == \\1\n" entry "${entry}")
    string(APPEND text "${entry}")
  endforeach()
  set(def ${CMAKE_BINARY_DIR}/${variant}/dap32_gnu_import.def)
  file(WRITE ${def} "${text}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -D dap32.dll -l $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
endfunction()

# Microsoft: llvm-dlltool keeps the MinGW rule that strips one leading underscore from an
# imported name, so no name it writes can be the decorated export "_dapAttach@8". The
# decorated variant's .lib therefore imports by ordinal, which never changes; the plain one
# imports dapAttach under the caller's symbol _dapAttach@8 (--kill-at), x64 by plain name.
function(dap32_msvc_import_library target variant entries)
  if(NOT DAP32_LLVM_DLLTOOL)
    return()
  endif()
  set(text "LIBRARY dap32.dll\nEXPORTS\n")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "${dap32_def_entry}" entry "${entry}")
    set(symbol ${CMAKE_MATCH_3})
    if(variant STREQUAL "x64")
      set(symbol ${CMAKE_MATCH_1})
    endif()
    set(line "  ${symbol} @${CMAKE_MATCH_4}")
    if(variant STREQUAL "decorated")
      string(APPEND line " NONAME")
    endif()
    string(APPEND text "${line}\n")
  endforeach()
  set(def ${CMAKE_BINARY_DIR}/${variant}/dap32_msvc_import.def)
  file(WRITE ${def} "${text}")
  set(options -m i386)
  if(variant STREQUAL "plain")
    list(APPEND options -k)
  elseif(variant STREQUAL "x64")
    set(options -m i386:x86-64)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${DAP32_LLVM_DLLTOOL} ${options} -d ${def} -l ${CMAKE_BINARY_DIR}/${variant}/dap32.lib
    VERBATIM)
endfunction()

function(dap32_add_windows_dll variant description)
  set(target dap32_${variant})
  set(def_file ${CMAKE_SOURCE_DIR}/api/dap32_${variant}.def)
  set(DAP32_VARIANT_DESCRIPTION ${description})
  set(version_resource ${CMAKE_BINARY_DIR}/${variant}/dap32.rc)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/dap32.rc.in ${version_resource} @ONLY)
  add_library(${target} SHARED $<TARGET_OBJECTS:dap32_objects> ${def_file} ${version_resource})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME dap32 PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${variant}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${variant})
  target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR}/include)
  target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++)
  target_link_libraries(${target} PRIVATE ${DAP32_PLATFORM_LIBS})

  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  file(STRINGS ${def_file} entries REGEX "${dap32_def_entry}")
  dap32_gnu_import_library(${target} ${variant} "${entries}")
  dap32_msvc_import_library(${target} ${variant} "${entries}")
endfunction()

# The examples link the plain-name DLL of their width, under the name dap32 as on Linux.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  dap32_add_windows_dll(x64 "64-bit")
  add_library(dap32 ALIAS dap32_x64)
else()
  dap32_add_windows_dll(plain "32-bit, plain export names")
  dap32_add_windows_dll(decorated "32-bit, stdcall-decorated export names")
  add_library(dap32 ALIAS dap32_plain)
endif()
