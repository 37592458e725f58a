# SPDX-License-Identifier: MIT
# Checks what the shipped library shows a host: its exported names and, on
# Windows, that it runs wherever the card's PCs do (windows_floor.cmake's audit,
# first shown to reject a DLL built to break each of its rules), that it
# imports only what the module calls, its size and its version resource.
#   cmake -DLIBRARY=... -DWINDOWS=ON|OFF -DOBJDUMP=... -DCC=... -DDLLTOOL=... -DVERSION=x.y.z
#         -P check_library_tables.cmake
cmake_minimum_required(VERSION 3.20)
if(WINDOWS)
  include(${CMAKE_CURRENT_LIST_DIR}/windows_floor.cmake)
  # Each fixture: what its entry point calls, how it is linked, what the audit must
  # say of it, the disassembler it is read with. The first breaks no rule.
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/floor-fixtures)
  file(MAKE_DIRECTORY ${dir})
  set(header -Wl,--major-os-version,4,--minor-os-version,0,--major-subsystem-version,4)
  file(WRITE ${dir}/fails "#!/bin/sh\n${OBJDUMP} \"$@\"\nexit 1\n") # disassembles, then fails
  file(CHMOD ${dir}/fails PERMISSIONS OWNER_READ OWNER_EXECUTE)
  file(WRITE ${dir}/fixture.def "LIBRARY fixture.dll\nEXPORTS\nOrdinal42 @42 NONAME\n")
  execute_process(COMMAND ${DLLTOOL} -d fixture.def -l libfixture.a WORKING_DIRECTORY ${dir})
  foreach(fixture "breaks nothing|Sleep(0)||^$"
          "an import by ordinal|Ordinal42()|-L. -lfixture|fixture.dll!#42 by ordinal"
          "a function the table lacks|IsProcessorFeaturePresent(0)||first had [^ ]*!IsProcessorFea"
          "a function from XP|GetModuleHandleExA(0, 0, 0)||ExA is first on the 9x line in none, on the NT line in XP"
          "a 5.0 header|Sleep(0)|-Wl,--major-os-version,5|header names Windows 5.0"
          "a cmov|__asm__(\"cmove %ecx, %eax\")||'cmove eax,ecx' at [^ ]+ <[^>]+> needs a Pentium Pro"
          "a lock cmpxchg8b|__asm__(\"lock cmpxchg8b (%esi)\")||'cmpxchg8b QWORD PTR .esi.' at .* a Pentium$"
          "an SSE register|__asm__(\"movaps %xmm0, %xmm1\")||'movaps xmm1,xmm0' at .* needs a Pentium III"
          "a disassembler that fails|Sleep(0)||objdump fails .*exit 1, [1-9][0-9]* found|${dir}/fails"
          "a disassembler that finds nothing|Sleep(0)||no instruction .exit 0, 0 found.|true"
          "no program|||readpe cannot read it")
    string(REPLACE "|" ";" fixture "${fixture}|${OBJDUMP}")
    list(POP_FRONT fixture name code flags expected disassembler)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    string(MAKE_C_IDENTIFIER "${name}" file)
    string(CONCAT source "#include <windows.h>\nvoid Ordinal42(void);\nBOOL WINAPI DllEntry(HINSTANCE i, "
               "DWORD r, LPVOID p) {\n  ${code};\n  return TRUE;\n}\n")
    file(WRITE ${dir}/${file}.c "${source}")
    execute_process(COMMAND ${CC} -O2 -march=i486 -shared -nostdlib -Wl,--entry=_DllEntry@12
                            ${header} -o ${file}.dll ${file}.c ${flags} -lkernel32
                    WORKING_DIRECTORY ${dir} RESULT_VARIABLE failed ERROR_VARIABLE errors)
    if(name STREQUAL "no program")
      file(RENAME ${dir}/${file}.c ${dir}/${file}.dll)
    elseif(failed)
      message(FATAL_ERROR "the fixture '${name}' cannot be built:\n${errors}")
    endif()
    pelmar4_windows_floor(${dir}/${file}.dll ${disassembler} fixture)
    if(NOT "${fixture_PROBLEMS}" MATCHES "${expected}")
      message(FATAL_ERROR "the audit says of a DLL with ${name}: '${fixture_PROBLEMS}'; "
                          "expected '${expected}'")
    endif()
    message(STATUS "a DLL with ${name}: '${fixture_PROBLEMS}'")
  endforeach()

  pelmar4_windows_floor(${LIBRARY} ${OBJDUMP} dll)
  if(dll_PROBLEMS)
    string(REPLACE ";" "\n  " problems "${dll_PROBLEMS}")
    message(FATAL_ERROR "Pelmar4.dll must run on Windows 95 and NT 4.0 and a 486:\n  ${problems}")
  endif()
  # Only what the module calls.
  set(expected
      KERNEL32.dll!CloseHandle KERNEL32.dll!CreateEventA KERNEL32.dll!CreateThread
      KERNEL32.dll!DisableThreadLibraryCalls KERNEL32.dll!FreeLibrary
      KERNEL32.dll!FreeLibraryAndExitThread KERNEL32.dll!GetLastError KERNEL32.dll!GetModuleFileNameA
      KERNEL32.dll!GetModuleHandleA KERNEL32.dll!GetProcAddress KERNEL32.dll!LoadLibraryA
      KERNEL32.dll!SetEvent KERNEL32.dll!Sleep KERNEL32.dll!WaitForMultipleObjects
      KERNEL32.dll!WaitForSingleObject msvcrt.dll!abort msvcrt.dll!fclose msvcrt.dll!fopen
      msvcrt.dll!free msvcrt.dll!malloc msvcrt.dll!vfprintf)
  if(NOT dll_IMPORTS STREQUAL expected)
    message(FATAL_ERROR "imports:\n  ${dll_IMPORTS}\nexpected:\n  ${expected}")
  endif()
  file(SIZE ${LIBRARY} size)
  if(size GREATER 12288)
    message(FATAL_ERROR "Pelmar4.dll is ${size} bytes, more than 12 KiB")
  endif()
  # One export, by name and at ordinal 1.
  string(JSON count ERROR_VARIABLE none LENGTH "${dll_JSON}" "Exported functions" 0 "Functions")
  string(JSON name ERROR_VARIABLE none GET "${dll_JSON}" "Exported functions" 0 "Functions" 0 "Name")
  string(JSON ordinal ERROR_VARIABLE none GET "${dll_JSON}" "Exported functions" 0 "Functions" 0 "Ordinal")
  if(NOT count EQUAL 1 OR NOT name STREQUAL "_GetInterfacePtr@0" OR NOT ordinal EQUAL 1)
    message(FATAL_ERROR "exports: ${count}, the first '${name}' at ordinal ${ordinal}; "
                        "expected only _GetInterfacePtr@0 at ordinal 1")
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
  list(LENGTH dll_IMPORTS importCount)
  message(STATUS "Pelmar4.dll: ${size} bytes; one export _GetInterfacePtr@0 at ordinal 1; "
                 "for Windows ${dll_WINDOWS} and later and a ${dll_PROCESSOR}; "
                 "${importCount} imports: ${dll_IMPORTS}")
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
