# SPDX-License-Identifier: MIT
# Builds the shipped library a second time, from a copy of the sources in
# another folder, and compares it with this build's: the same sources must
# give the same bytes (the Linux library once stripped of its symbols).
#   cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DLIBRARY=... -DBUILD_TYPE=... [-DTOOLCHAIN=file]
#         [-DSTRIP=strip] -P check_reproducible.cmake
set(work ${BUILD_DIR}/reproducible)
file(REMOVE_RECURSE ${work})
file(GLOB children RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(REMOVE_ITEM children build .git)
foreach(child IN LISTS children)
  file(COPY ${SOURCE_DIR}/${child} DESTINATION ${work}/src)
endforeach()

set(configure ${CMAKE_COMMAND} -S ${work}/src -B ${work}/build -G "Unix Makefiles"
              -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DPELMAR4_TESTS=OFF)
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${work}/src/cmake/${TOOLCHAIN})
endif()
execute_process(COMMAND ${configure} RESULT_VARIABLE failed OUTPUT_QUIET)
if(NOT failed)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${work}/build --target Pelmar4 -j 2
                  RESULT_VARIABLE failed OUTPUT_QUIET)
endif()
if(failed)
  message(FATAL_ERROR "the second build in ${work} failed")
endif()
get_filename_component(name ${LIBRARY} NAME)
set(first ${LIBRARY})
set(second ${work}/build/bin/${name})
if(STRIP)
  foreach(which first second)
    execute_process(COMMAND ${STRIP} --strip-all ${${which}} -o ${work}/${which}-${name})
    set(${which} ${work}/${which}-${name})
  endforeach()
endif()
file(SHA256 ${first} firstHash)
file(SHA256 ${second} secondHash)
if(NOT firstHash STREQUAL secondHash)
  message(FATAL_ERROR "two builds from two folders differ:\n  ${first} ${firstHash}\n"
                      "  ${second} ${secondHash}")
endif()
message(STATUS "${name} from ${SOURCE_DIR} and from ${work}/src: the same bytes, ${firstHash}")
file(REMOVE_RECURSE ${work})
