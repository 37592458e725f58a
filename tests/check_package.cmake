# SPDX-License-Identifier: MIT
# Builds the ZIP package and checks its contents: the library, the headers, the
# package's README, the licence and the changelog and, given DEMO, the demo host
# and its two press scripts. It then tries the package from the unpacked
# folder as a host author would: each sample of its README, built with the
# README's own command lines and run. On Windows also the demo host (on the
# timing script, reporting what the README's diagram shows), the MSVC lines
# through clang in its MSVC mode (given CLANG_CL, WINE_SDK and WINE_LIBS: Wine's
# Windows headers and import libraries), and the README's table of where each
# program runs, read from the programs themselves; on Linux the glibc version
# the README names.
#   cmake -DBUILD_DIR=... -DPACKAGE=Pelmar4-1.2.1-win32 -DLIBRARY=bin/Pelmar4.dll
#         -DREPO_README=README.md [-DDEMO=bin/pelmar4-host.exe
#         -DEMULATOR=wine-run -DOBJDUMP=... -DCLANG_CL=... -DWINE_SDK=... -DWINE_LIBS=...]
#         [-DSANITIZED=ON] -P check_package.cmake
cmake_minimum_required(VERSION 3.20)
set(out ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${out})
execute_process(COMMAND cpack -G ZIP -B ${out} WORKING_DIRECTORY ${BUILD_DIR}
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  message(FATAL_ERROR "cpack failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${out}/${PACKAGE}.zip OUTPUT_VARIABLE listing
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot list ${out}/${PACKAGE}.zip")
endif()
string(REGEX MATCHALL "[^\n]+" files "${listing}")
list(FILTER files EXCLUDE REGEX "/$")
list(SORT files)
set(expected ${PACKAGE}/README.md ${PACKAGE}/LICENSE ${PACKAGE}/CHANGELOG.md ${PACKAGE}/${LIBRARY}
    ${PACKAGE}/include/pelmar4/com_base.h ${PACKAGE}/include/pelmar4/device_registers.h
    ${PACKAGE}/include/pelmar4/iids.c ${PACKAGE}/include/pelmar4/remote_key_sink.h
    ${PACKAGE}/include/pelmar4/remote_module.h)
if(DEMO)
  list(APPEND expected ${PACKAGE}/${DEMO} ${PACKAGE}/sample-presses.txt ${PACKAGE}/timing.txt
       ${PACKAGE}/include/pelmar4/start_win32.c)
endif()
list(SORT expected)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "${PACKAGE}.zip holds:\n${listing}\nexpected: ${expected}")
endif()
message(STATUS "${PACKAGE}.zip:\n${listing}")

# The repository's README names the package of this version.
file(READ ${REPO_README} repoReadme)
string(REGEX REPLACE "-(win32|Linux)$" "-win32" windowsPackage "${PACKAGE}")
string(FIND "${repoReadme}" "${windowsPackage}.zip" named)
if(named EQUAL -1)
  message(FATAL_ERROR "${REPO_README} does not name ${windowsPackage}.zip")
endif()

# A sanitizer's build of the library loads only into a program built with it:
# there the samples are not tried.
if(SANITIZED)
  return()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${out}/${PACKAGE}.zip WORKING_DIRECTORY ${out})
set(unpacked ${out}/${PACKAGE})
file(READ ${unpacked}/README.md readme)

# Runs each line of a README's command block as it stands, in the unpacked
# folder: each must succeed and print nothing, not even a warning.
function(run_build_lines lines)
  string(REGEX MATCHALL "[^\n]+" lines "${lines}")
  foreach(line IN LISTS lines)
    execute_process(COMMAND sh -c "${line}"
                    WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE failed OUTPUT_VARIABLE output
                    ERROR_VARIABLE errors)
    if(failed OR NOT "${output}${errors}" STREQUAL "")
      message(FATAL_ERROR "${line}\nexit ${failed}\n${output}${errors}")
    endif()
  endforeach()
endfunction()

# Each program, run from the unpacked folder, must print "Key_Power Power".
function(run_samples how)
  foreach(program IN LISTS ARGN)
    execute_process(COMMAND ${EMULATOR} ${unpacked}/${program} WORKING_DIRECTORY ${unpacked}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(failed OR NOT output STREQUAL "Key_Power Power\n")
      message(FATAL_ERROR "${program} from the README, ${how}: exit ${failed}\n${output}${errors}")
    endif()
    message(STATUS "${program}, built from the README's text ${how}: ${output}")
  endforeach()
endfunction()

# The README's samples: each fenced block of C or C++ saved as the README says.
foreach(sample "c;host.c" "cpp;host.cpp")
  list(GET sample 0 language)
  list(GET sample 1 file)
  if(readme MATCHES "```${language}\n([^`]*)```")
    file(WRITE ${unpacked}/${file} "${CMAKE_MATCH_1}")
  elseif(DEMO OR language STREQUAL "c")
    message(FATAL_ERROR "no ${language} sample in the package's README")
  endif()
endforeach()

if(NOT DEMO)
  # The Linux package: its C sample, built with its own line and run.
  if(NOT readme MATCHES "```sh\n(cc [^`]*)```")
    message(FATAL_ERROR "no build line in the package's README")
  endif()
  run_build_lines("${CMAKE_MATCH_1}")
  run_samples("with cc" host-c)
  # The newest glibc the library asks for is the one the README names.
  execute_process(COMMAND objdump -T ${unpacked}/${LIBRARY} OUTPUT_VARIABLE symbols)
  string(REGEX MATCHALL "GLIBC_[0-9.]+" versions "${symbols}")
  list(TRANSFORM versions REPLACE "GLIBC_" "")
  list(SORT versions COMPARE NATURAL)
  list(GET versions -1 newest)
  string(REGEX REPLACE "[ \n]+" " " flat "${readme}")
  if(NOT flat MATCHES "needs glibc ${newest} or later")
    message(FATAL_ERROR "${LIBRARY} needs glibc ${newest}; the README does not say so")
  endif()
  message(STATUS "${LIBRARY} needs glibc ${newest}, as the README says")
endif()

if(DEMO)
  # Each try: the demo's arguments, then the key it must report.
  foreach(try "--press;Key_Power;Key_Power" "--script;sample-presses.txt;Key_Power")
    list(POP_BACK try key)
    execute_process(COMMAND ${EMULATOR} ${unpacked}/${DEMO} ${try} WORKING_DIRECTORY ${unpacked}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(failed OR NOT output MATCHES "  ${key} ")
      message(FATAL_ERROR "${DEMO} ${try} from the unpacked package: exit ${failed}\n${output}${errors}")
    endif()
    message(STATUS "${DEMO} ${try}:\n${output}")
  endforeach()

  # The demo host is made to be small.
  file(SIZE ${unpacked}/${DEMO} size)
  if(size GREATER 65536)
    message(FATAL_ERROR "${DEMO} is ${size} bytes, more than 64 KiB")
  endif()

  # The diagram: Key_1 once, Key_2 never, Key_Mute at once (its press begins at
  # 2000 ms), again after 1000 ms, then every 100 ms. Bounds leave room for a
  # slow emulator; the demo's own figures are printed.
  execute_process(COMMAND ${EMULATOR} ${unpacked}/${DEMO} --script timing.txt
                  WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE failed OUTPUT_VARIABLE output
                  ERROR_VARIABLE errors)
  string(REGEX MATCHALL "[0-9]+ ms  Key_[A-Za-z0-9_/]+" reports "${output}")
  set(keys "")
  set(mutes "")
  foreach(report IN LISTS reports)
    string(REGEX MATCH "([0-9]+) ms  (.+)" _ "${report}")
    list(APPEND keys ${CMAKE_MATCH_2})
    if(CMAKE_MATCH_2 STREQUAL "Key_Mute")
      list(APPEND mutes ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES keys)
  list(LENGTH mutes count)
  set(ok OFF)
  if(NOT failed AND keys STREQUAL "Key_1;Key_Mute" AND output MATCHES "Key_1 x1," AND count GREATER 3)
    list(GET mutes 0 first)
    list(GET mutes 1 second)
    math(EXPR repeat "${second} - ${first}")
    set(ok ON)
    if(first LESS 2000 OR first GREATER 2300 OR repeat LESS 950 OR repeat GREATER 1200)
      set(ok OFF)
    endif()
    math(EXPR last "${count} - 1")
    foreach(i RANGE 2 ${last})
      math(EXPR before "${i} - 1")
      list(GET mutes ${before} earlier)
      list(GET mutes ${i} later)
      math(EXPR period "${later} - ${earlier}")
      if(period LESS 80 OR period GREATER 250)
        set(ok OFF)
      endif()
    endforeach()
  endif()
  if(NOT ok)
    message(FATAL_ERROR "${DEMO} --script timing.txt does not report what the README draws: "
                        "exit ${failed}\n${output}${errors}")
  endif()
  message(STATUS "${DEMO} --script timing.txt:\n${output}")

  # The mingw-w64 blocks' lines, run as they stand: for any PC, then for the
  # card's own (a 486 or Pentium).
  string(REGEX MATCHALL "```sh\n(i686-w64-mingw32-[^`]*)```" blocks "${readme}")
  list(LENGTH blocks count)
  if(NOT count EQUAL 2)
    message(FATAL_ERROR "${count} blocks of mingw-w64 build lines in the package's README, not 2")
  endif()
  foreach(block IN LISTS blocks)
    string(REGEX REPLACE "^```sh\n|```$" "" block "${block}")
    run_build_lines("${block}")
  endforeach()
  run_samples("with mingw-w64" bin/host-c.exe bin/host-cpp.exe bin/host-c-486.exe
              bin/host-cpp-486.exe)

  # Where each program runs, read from the files, is what the README's table
  # says: its rows name the programs, the oldest Windows and processor.
  include(${CMAKE_CURRENT_LIST_DIR}/windows_floor.cmake)
  string(REGEX MATCHALL "\n\\| [^|\n]*`[^|\n]*\\.(dll|exe)`[^|\n]* \\| [^|\n]+ \\| [^|\n]+ \\|" rows
         "${readme}")
  set(audited "")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "^\n\\| ([^|]*) \\| ([^|]+) \\| ([^|]+) \\|" _ "${row}")
    set(windows "${CMAKE_MATCH_2}")
    set(processor "${CMAKE_MATCH_3}")
    string(REGEX MATCHALL "`[^`]+\\.(dll|exe)`" programs "${CMAKE_MATCH_1}")
    foreach(program IN LISTS programs)
      string(REPLACE "`" "" program "${program}")
      if(NOT program MATCHES "^bin/")
        set(program bin/${program})
      endif()
      # The check runs CPUID only once the processor has shown it has it.
      set(vouched "")
      if(program STREQUAL DEMO)
        set(vouched cpuid)
      endif()
      pelmar4_windows_floor(${unpacked}/${program} ${OBJDUMP} file ${vouched})
      if(file_PROBLEMS MATCHES "(readpe cannot read|the table does not say|by ordinal|no instruction)[^;]*")
        message(FATAL_ERROR "where ${program} runs cannot be told: ${CMAKE_MATCH_0}")
      endif()
      # A program the README says runs on a 486 holds to the whole floor.
      if(processor STREQUAL "486" AND file_PROBLEMS)
        message(FATAL_ERROR "${program} does not run wherever the DLL runs: ${file_PROBLEMS}")
      endif()
      if(NOT windows STREQUAL file_WINDOWS OR NOT processor STREQUAL file_PROCESSOR)
        message(FATAL_ERROR "the README says ${program} needs Windows ${windows} and a "
                            "${processor}; it needs Windows ${file_WINDOWS} and a "
                            "${file_PROCESSOR} (${file_PROBLEMS})")
      endif()
      message(STATUS "${program}: Windows ${file_WINDOWS} and a ${file_PROCESSOR}, as the "
                     "README says")
      list(APPEND audited ${program})
    endforeach()
  endforeach()
  foreach(program ${LIBRARY} ${DEMO} bin/host-c.exe bin/host-cpp.exe bin/host-c-486.exe
                  bin/host-cpp-486.exe)
    if(NOT program IN_LIST audited)
      message(FATAL_ERROR "the README's table does not say where ${program} runs")
    endif()
  endforeach()

  # The MSVC block's lines, through clang in its MSVC mode with Wine's Windows
  # headers and import libraries (under .lib names). Added for this check
  # alone: forward slashes, the DLL C runtime (no static one here), no
  # security cookie, kernel32.lib, which these import libraries do not name
  # themselves, the headers' and libraries' folders, the entry point, and for
  # C++ no RTTI and Wine's inline forms of the interlocked functions that clang
  # has as builtins.
  if(NOT CLANG_CL OR NOT WINE_SDK OR NOT WINE_LIBS)
    message(FATAL_ERROR "clang-16, lld-16 or libwine-dev:i386 is missing "
                        "(scripts/setup-debian.sh installs them)")
  endif()
  set(libs ${out}/msvc-libs)
  file(MAKE_DIRECTORY ${libs})
  foreach(pair "uuid;uuid" "kernel32;kernel32" "msvcrt;ucrtbase")
    list(GET pair 0 name)
    list(GET pair 1 library)
    file(CREATE_LINK ${WINE_LIBS}/lib${library}.a ${libs}/${name}.lib SYMBOLIC)
  endforeach()
  if(NOT readme MATCHES "```bat\n(cl [^`]*)```")
    message(FATAL_ERROR "no MSVC build lines in the package's README")
  endif()
  string(REPLACE "\\" "/" lines "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "[^\n]+" lines "${lines}")
  set(cpp /GR-)
  foreach(builtin And64 CompareExchangePointer Decrement64 ExchangeAdd64 ExchangePointer
                  Increment64 Or64 Xor64)
    string(APPEND cpp " /D_Interlocked${builtin}=_InlineInterlocked${builtin}")
  endforeach()
  set(translated "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^cl (.*)$")
      message(FATAL_ERROR "not a cl line: ${line}")
    endif()
    set(line "${CLANG_CL} --driver-mode=cl --target=i686-pc-windows-msvc -fuse-ld=lld")
    string(APPEND line " ${CMAKE_MATCH_1} /MD /GS- kernel32.lib /imsvc ${WINE_SDK}/msvcrt"
                       " /imsvc ${WINE_SDK}/windows")
    if(line MATCHES "\\.cpp ")
      string(APPEND line " ${cpp}")
    endif()
    string(APPEND line " /link /libpath:${libs} /safeseh:no /nodefaultlib:oldnames.lib"
                       " /entry:mainCRTStartup")
    string(APPEND translated "${line}\n")
  endforeach()
  run_build_lines("${translated}")
  run_samples("with the MSVC lines" bin/host-c.exe bin/host-cpp.exe)
endif()
