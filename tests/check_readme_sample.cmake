# Compiles the C++ host sample in README.md against the headers, so that the
# sample a host author copies stays complete and correct.
#   cmake -DREADME=... -DCOMPILER=... -DINCLUDE=interfaces-dir -DOUT=dir -P check_readme_sample.cmake
file(READ ${README} readme)
string(REGEX MATCH "```cpp\n(.*int main\\(\\)[^`]*)```" _ "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no C++ host sample in ${README}")
endif()
file(WRITE ${OUT}/readme_sample.cpp "${CMAKE_MATCH_1}")
execute_process(COMMAND ${COMPILER} -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I${INCLUDE}
                        ${OUT}/readme_sample.cpp
                RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "the README's host sample does not compile:\n${errors}")
endif()
message(STATUS "the README's host sample compiles")
