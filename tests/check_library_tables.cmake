# SPDX-License-Identifier: MIT
# Checks what the shipped library shows a host: its exported names and, on
# Windows, every function it imports (from KERNEL32.dll and msvcrt.dll only, so
# that it loads on a bare system, and only what the module calls) and the
# oldest Windows that has them, which its header must name, its instructions
# (the 486's), its size and its version resource.
#   cmake -DLIBRARY=... -DWINDOWS=ON|OFF -DOBJDUMP=... -DVERSION=x.y.z -P check_library_tables.cmake
cmake_minimum_required(VERSION 3.20)
if(WINDOWS)
  include(${CMAKE_CURRENT_LIST_DIR}/windows_floor.cmake)
  pelmar4_windows_floor(${LIBRARY} ${OBJDUMP} dll)
  # Every function the DLL may import. Each must be on Windows 95 and NT 4.0
  # (msvcrt.dll itself ships with 98 and NT 4.0), and the header must name the
  # oldest NT that has them all: 4.0, which is also the newest header that
  # Windows 95 and 98 load. A function from a later Windows fails by name.
  set(expected
      KERNEL32.dll!CloseHandle KERNEL32.dll!CreateEventA KERNEL32.dll!CreateThread
      KERNEL32.dll!DisableThreadLibraryCalls KERNEL32.dll!FreeLibrary
      KERNEL32.dll!FreeLibraryAndExitThread KERNEL32.dll!GetLastError KERNEL32.dll!GetModuleFileNameA
      KERNEL32.dll!GetModuleHandleA KERNEL32.dll!GetProcAddress KERNEL32.dll!LoadLibraryA KERNEL32.dll!SetEvent KERNEL32.dll!Sleep
      KERNEL32.dll!WaitForMultipleObjects KERNEL32.dll!WaitForSingleObject msvcrt.dll!abort
      msvcrt.dll!fclose msvcrt.dll!fopen msvcrt.dll!free msvcrt.dll!malloc msvcrt.dll!vfprintf)
  list(SORT expected)
  set(imports ${dll_IMPORTS})
  if(NOT imports STREQUAL expected)
    message(FATAL_ERROR "imports:\n  ${imports}\nexpected:\n  ${expected}")
  endif()
  foreach(entry IN LISTS dll_SINCE)
    string(REGEX MATCH "^(.*)=(.*)/(.*)$" _ "${entry}")
    if(CMAKE_MATCH_2 STREQUAL "-" OR CMAKE_MATCH_2 VERSION_GREATER 4.0
       OR CMAKE_MATCH_3 VERSION_GREATER 4.0)
      pelmar4_windows_name(9x "${CMAKE_MATCH_2}" nine)
      pelmar4_windows_name(nt "${CMAKE_MATCH_3}" nt)
      message(FATAL_ERROR "${CMAKE_MATCH_1} is first on the 9x line in ${nine}, on the NT line "
                          "in ${nt}: the DLL imports only what Windows 95 and NT 4.0 have")
    endif()
  endforeach()
  if(NOT dll_HEADER_OS STREQUAL dll_NT OR NOT dll_HEADER_SUBSYSTEM STREQUAL dll_NT)
    message(FATAL_ERROR "the header names Windows ${dll_HEADER_OS} (subsystem "
                        "${dll_HEADER_SUBSYSTEM}); the imports need ${dll_NT}, the oldest NT "
                        "that has them all")
  endif()
  # Every instruction is the 486's.
  if(NOT dll_PROCESSOR STREQUAL "486")
    message(FATAL_ERROR "Pelmar4.dll needs a ${dll_PROCESSOR}: ${dll_NEWER}")
  endif()
  list(LENGTH imports importCount)
  set(dump "${dll_DUMP}")
  file(SIZE ${LIBRARY} size)
  if(size GREATER 12288)
    message(FATAL_ERROR "Pelmar4.dll is ${size} bytes, more than 12 KiB")
  endif()
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([^\n]+\n)*)" table "${dump}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${CMAKE_MATCH_1}")
  if(NOT names MATCHES "^\\[ *0\\] _GetInterfacePtr@0$")
    message(FATAL_ERROR "exported names: ${names}; expected only _GetInterfacePtr@0")
  endif()
  if(NOT dump MATCHES "Ordinal Base[ \t]+1\n" OR NOT dump MATCHES "\\+base\\[ *1\\]")
    message(FATAL_ERROR "the export is not at ordinal 1")
  endif()
  if(NOT dump MATCHES "Export Address Table[ \t]+00000001")
    message(FATAL_ERROR "more than one export")
  endif()
  # The version resource: product name and version, as UTF-16 strings.
  file(STRINGS ${LIBRARY} texts ENCODING UTF-16LE)
  foreach(pair "ProductName;Pelmar4" "ProductVersion;${VERSION}" "FileVersion;${VERSION}"
               "OriginalFilename;Pelmar4.dll"
               "LegalCopyright;Copyright (c) The Pelmar4 authors. MIT License.")
    string(FIND "${texts}" ";${pair};" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "no '${pair}' in the version resource")
    endif()
  endforeach()
  message(STATUS "Pelmar4.dll: ${size} bytes; one export _GetInterfacePtr@0 at ordinal 1; "
                 "for Windows ${dll_WINDOWS} and later and a ${dll_PROCESSOR}; "
                 "${importCount} imports: ${imports}")
else()
  execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "nm -D ${LIBRARY} failed")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
  list(LENGTH lines count)
  if(NOT count EQUAL 1 OR NOT symbols MATCHES " T GetInterfacePtr\n")
    message(FATAL_ERROR "visible symbols:\n${symbols}expected only GetInterfacePtr")
  endif()
  message(STATUS "${LIBRARY}: only GetInterfacePtr is visible")
endif()
