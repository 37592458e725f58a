# SPDX-License-Identifier: MIT
# Builds the ZIP package and checks its contents: the library, the headers, the
# package's README, the licence and the changelog and, given DEMO, the demo host
# and its two press scripts. On Windows it then tries the package from the
# unpacked folder as a host author would: the demo host (on the timing script,
# reporting what the README's diagram shows), and the README's C and C++
# samples, built with the README's own command lines and run.
#   cmake -DBUILD_DIR=... -DPACKAGE=Pelmar4-1.1.0-win32 -DLIBRARY=bin/Pelmar4.dll
#         -DREPO_README=README.md [-DDEMO=bin/pelmar4-host.exe] [-DEMULATOR=wine-run]
#         -P check_package.cmake
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
  list(APPEND expected ${PACKAGE}/${DEMO} ${PACKAGE}/sample-presses.txt ${PACKAGE}/timing.txt)
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

if(DEMO)
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${out}/${PACKAGE}.zip WORKING_DIRECTORY ${out})
  set(unpacked ${out}/${PACKAGE})
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

  # The README's samples: each fenced block of C or C++ saved as the README
  # says, each build line of its mingw-w64 block run as it stands, without a
  # warning, and each program run.
  file(READ ${unpacked}/README.md readme)
  foreach(sample "c;host.c" "cpp;host.cpp")
    list(GET sample 0 language)
    list(GET sample 1 file)
    if(NOT readme MATCHES "```${language}\n([^`]*)```")
      message(FATAL_ERROR "no ${language} sample in the package's README")
    endif()
    file(WRITE ${unpacked}/${file} "${CMAKE_MATCH_1}")
  endforeach()
  if(NOT readme MATCHES "```sh\n(i686-w64-mingw32-[^`]*)```")
    message(FATAL_ERROR "no mingw-w64 build lines in the package's README")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${CMAKE_MATCH_1}")
  foreach(line IN LISTS lines)
    execute_process(COMMAND sh -c "${line}" WORKING_DIRECTORY ${unpacked}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(failed OR NOT "${output}${errors}" STREQUAL "")
      message(FATAL_ERROR "${line}\nexit ${failed}\n${output}${errors}")
    endif()
  endforeach()
  foreach(program bin/host-c.exe bin/host-cpp.exe)
    execute_process(COMMAND ${EMULATOR} ${unpacked}/${program} WORKING_DIRECTORY ${unpacked}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(failed OR NOT output STREQUAL "Key_Power Power\n")
      message(FATAL_ERROR "${program} from the README: exit ${failed}\n${output}${errors}")
    endif()
    message(STATUS "${program}, built from the README's text: ${output}")
  endforeach()
endif()
