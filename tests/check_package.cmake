# SPDX-License-Identifier: MIT
# Builds the ZIP package and checks its contents: the library, the headers and
# the README and, given DEMO, the demo host and its sample press script, which
# are then run from the unpacked folder as a user trying the module would.
#   cmake -DBUILD_DIR=... -DPACKAGE=Pelmar4-1.0.0-win32 -DLIBRARY=bin/Pelmar4.dll
#         [-DDEMO=bin/pelmar4-host.exe] [-DEMULATOR=wine-run] -P check_package.cmake
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
set(expected ${PACKAGE}/README.md ${PACKAGE}/${LIBRARY}
    ${PACKAGE}/include/pelmar4/com_base.h ${PACKAGE}/include/pelmar4/device_registers.h
    ${PACKAGE}/include/pelmar4/iids.c ${PACKAGE}/include/pelmar4/remote_key_sink.h
    ${PACKAGE}/include/pelmar4/remote_module.h)
if(DEMO)
  list(APPEND expected ${PACKAGE}/${DEMO} ${PACKAGE}/sample-presses.txt)
endif()
list(SORT expected)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "${PACKAGE}.zip holds:\n${listing}\nexpected: ${expected}")
endif()
message(STATUS "${PACKAGE}.zip:\n${listing}")

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
endif()
