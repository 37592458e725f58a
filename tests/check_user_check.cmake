# SPDX-License-Identifier: MIT
# The check a user runs must fail, naming the cases, against a DLL that breaks
# them: a copy of Pelmar4.dll whose only 32-bit 1000 (the poll's wait after a
# change of code, from which the wait while steady is also derived) is made
# 900, patched in place: 100 ms short, more than a sleep ends early under Wine.
#   cmake -DCHECK=pelmar4-host.exe -DLIBRARY=Pelmar4.dll -DEMULATOR=wine-run -P check_user_check.cmake
cmake_minimum_required(VERSION 3.20)
file(READ ${LIBRARY} hex HEX)
string(REGEX MATCHALL "e8030000" found "${hex}")
string(FIND "${hex}" "e8030000" at)
math(EXPR odd "${at} % 2")
list(LENGTH found count)
if(NOT count EQUAL 1 OR odd)
  message(FATAL_ERROR "${LIBRARY} holds ${count} 32-bit 1000s; this test patches the only one")
endif()
set(broken ${CMAKE_CURRENT_BINARY_DIR}/broken-timing)
file(MAKE_DIRECTORY ${broken})
file(COPY_FILE ${LIBRARY} ${broken}/Pelmar4.dll)
math(EXPR offset "${at} / 2")
execute_process(COMMAND sh -c "printf '\\204\\003' | dd of=Pelmar4.dll bs=1 seek=${offset} conv=notrunc status=none"
                WORKING_DIRECTORY ${broken} RESULT_VARIABLE failed)
execute_process(COMMAND ${EMULATOR} ${CHECK} --check --library ${broken}/Pelmar4.dll
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message(STATUS "pelmar4-host --check against a DLL that waits 900 ms:\n${output}${errors}")
if(failed OR result EQUAL 0 OR NOT output MATCHES "\nFAIL  a held key" OR
   NOT output MATCHES "cases FAILED: please send")
  message(FATAL_ERROR "the check passed a DLL whose timing is broken, or did not name the case")
endif()
