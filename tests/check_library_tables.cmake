# SPDX-License-Identifier: MIT
# Checks what the shipped library shows a host: its exported names and, on
# Windows, every function it imports (from KERNEL32.dll and msvcrt.dll only, so
# that it loads on a bare system, and only what the module calls), the oldest
# Windows its header names, its size and its version resource.
#   cmake -DLIBRARY=... -DWINDOWS=ON|OFF -DOBJDUMP=... -DVERSION=x.y.z -P check_library_tables.cmake
if(WINDOWS)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed")
  endif()
  # "DLL Name: X" heads each DLL's list of "<vma>\t<hint>  <name>" lines.
  string(REGEX MATCH "The Import Tables[^\n]*\n(.*)The Export Tables" _ "${dump}")
  string(REGEX MATCHALL "DLL Name: [^\n]+|\t[0-9a-f]+\t +[0-9]+  [A-Za-z_0-9]+" entries
         "${CMAKE_MATCH_1}")
  set(imports "")
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^DLL Name: (.+)$")
      set(dll ${CMAKE_MATCH_1})
    elseif(entry MATCHES "  ([A-Za-z_0-9]+)$")
      list(APPEND imports "${dll}!${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(SORT imports)
  # Every function the DLL may import, with the Windows (NT) version it first
  # came with, as the PE header writes versions (NT 3.1 is 3.10, XP 5.1). The
  # header must name the newest of them as the oldest Windows the DLL runs on:
  # an import from a later Windows needs the header raised.
  set(allowed
      KERNEL32.dll!CloseHandle=3.10 KERNEL32.dll!CreateEventA=3.10 KERNEL32.dll!CreateThread=3.10
      KERNEL32.dll!DisableThreadLibraryCalls=3.50 KERNEL32.dll!FreeLibraryAndExitThread=3.50
      KERNEL32.dll!GetCurrentThreadId=3.10 KERNEL32.dll!GetModuleHandleExA=5.1
      KERNEL32.dll!SetEvent=3.10 KERNEL32.dll!Sleep=3.10 KERNEL32.dll!WaitForMultipleObjects=3.10
      KERNEL32.dll!WaitForSingleObject=3.10 msvcrt.dll!abort=4.0 msvcrt.dll!fclose=4.0
      msvcrt.dll!fopen=4.0 msvcrt.dll!free=4.0 msvcrt.dll!malloc=4.0 msvcrt.dll!vfprintf=4.0)
  set(expected "")
  set(needed 0.0)
  foreach(entry IN LISTS allowed)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 function)
    list(GET entry 1 since)
    list(APPEND expected ${function})
    if(since VERSION_GREATER needed)
      set(needed ${since})
    endif()
  endforeach()
  list(SORT expected)
  if(NOT imports STREQUAL expected)
    message(FATAL_ERROR "imports:\n  ${imports}\nexpected:\n  ${expected}")
  endif()
  foreach(field OSystem Subsystem)
    string(REGEX MATCH "Major${field}Version[ \t]+([0-9]+)" _ "${dump}")
    set(major ${CMAKE_MATCH_1})
    string(REGEX MATCH "Minor${field}Version[ \t]+([0-9]+)" _ "${dump}")
    set(minor ${CMAKE_MATCH_1})
    if(NOT "${major}.${minor}" VERSION_EQUAL needed)
      message(FATAL_ERROR "the header's ${field} version is ${major}.${minor}; the imports need "
                          "${needed}, the oldest Windows that has them all")
    endif()
  endforeach()
  list(LENGTH imports importCount)
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
                 "for Windows ${needed} and later; ${importCount} imports: ${imports}")
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
