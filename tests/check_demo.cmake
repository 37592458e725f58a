# SPDX-License-Identifier: MIT
# Runs the demo host's default script and checks what it printed: the expected
# keys in order, with bounds on their times; then bad inputs, which must
# give one clear line on stderr and a non-zero exit.
#   cmake -DDEMO=path [-DEMULATOR=wine-run.sh] -P check_demo.cmake
set(run ${EMULATOR} ${DEMO})

execute_process(COMMAND ${run} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "\r" "" out "${out}")
message(STATUS "demo output:\n${out}${err}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the default script exited with ${result}")
endif()

string(REGEX MATCHALL "[0-9]+ ms  Key_[A-Za-z0-9/]+" reports "${out}")
set(names "")
set(volume 0)
foreach(report IN LISTS reports)
  string(REGEX MATCH "^([0-9]+) ms  (.*)$" _ "${report}")
  set(ms ${CMAKE_MATCH_1})
  set(name ${CMAKE_MATCH_2})
  if(name STREQUAL "Key_VolumeUp")
    math(EXPR volume "${volume} + 1")
  endif()
  list(APPEND names ${name})
  # Each key's first report must come within its window of the script.
  foreach(window "Key_Power;1300;1600" "Key_VolumeUp;3900;5700" "Key_1;9600;9800" "Key_2;10600;10900")
    list(GET window 0 key)
    list(GET window 1 from)
    list(GET window 2 to)
    if(name STREQUAL key AND (ms LESS from OR ms GREATER to))
      message(FATAL_ERROR "${key} reported at ${ms} ms, outside ${from}..${to} ms")
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
if(NOT names STREQUAL "Key_Power;Key_VolumeUp;Key_1;Key_2")
  message(FATAL_ERROR "keys reported: ${names}")
endif()
if(volume LESS 6 OR volume GREATER 10)
  message(FATAL_ERROR "the held key was reported ${volume} times")
endif()
if(NOT out MATCHES "pelmar4-host: [0-9]+ keys reported in")
  message(FATAL_ERROR "no summary line")
endif()

file(WRITE good.txt "Key_1 200\n")
file(WRITE bad-line.txt "Key_1 200\nKey_2\n")
file(WRITE no-steps.txt "# only a comment\n")
foreach(bad "--press;Key_Nothing" "--press;Key_Power:soon" "--press;0x-1" "--library"
            "--library;${DEMO}.missing" "--library;${DEMO}" "--script;missing.txt"
            "--script;bad-line.txt" "--script;no-steps.txt" "--press;Key_1;--script;good.txt"
            "--bogus")
  execute_process(COMMAND ${run} ${bad} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(STRIP "${err}" err)
  string(REPLACE "\r" "" err "${err}")
  # One line; an unknown option is followed by the usage.
  if(result EQUAL 0 OR NOT err MATCHES "^pelmar4-host: [^\n]+(\nusage: .*)?$")
    message(FATAL_ERROR "${bad}: exit ${result}, stderr '${err}'")
  endif()
  message(STATUS "${bad}: exit ${result}: ${err}")
endforeach()

# Started from a folder whose path the loader cannot hold, the demo host
# refuses by name rather than load a path cut short (Linux; Windows cannot
# start a program from such a path).
if(NOT EMULATOR)
  string(REPEAT x 200 long)
  set(deep ${CMAKE_CURRENT_SOURCE_DIR}/deep/${long}/${long}/${long})
  file(COPY ${DEMO} DESTINATION ${deep})
  get_filename_component(name ${DEMO} NAME)
  execute_process(COMMAND ${deep}/${name} RESULT_VARIABLE result ERROR_VARIABLE err)
  if(result EQUAL 0 OR NOT err MATCHES "^pelmar4-host: cannot load [^\n]+ beside this program")
    message(FATAL_ERROR "from a deep folder: exit ${result}, stderr '${err}'")
  endif()
  message(STATUS "from a deep folder: exit ${result}: ${err}")
  file(REMOVE_RECURSE ${CMAKE_CURRENT_SOURCE_DIR}/deep)
endif()
