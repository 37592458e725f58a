# SPDX-License-Identifier: MIT
# Checks the shipped library's hardening as the distribution's tools read it.
# Windows (Debian's pev): ASLR and DEP on, no SEH handlers, relocations
# present, no section both writable and executable. Linux (devscripts'
# hardening-check): stack protector, fortified functions, read-only
# relocations, immediate binding.
#   cmake -DLIBRARY=... -DWINDOWS=ON|OFF -DOBJDUMP=... -P check_hardening.cmake
if(WINDOWS)
  find_program(PESEC pesec)
  if(NOT PESEC)
    message(FATAL_ERROR "pesec not found: install Debian's pev (scripts/setup-debian.sh does)")
  endif()
  execute_process(COMMAND ${PESEC} ${LIBRARY} OUTPUT_VARIABLE report RESULT_VARIABLE failed)
  message(STATUS "pesec ${LIBRARY}:\n${report}")
  foreach(line "ASLR: +yes" "DEP/NX: +yes" "SEH: +no")
    if(failed OR NOT report MATCHES "(^|\n)${line}\n")
      message(FATAL_ERROR "pesec does not report '${line}'")
    endif()
  endforeach()
  execute_process(COMMAND ${OBJDUMP} -h ${LIBRARY} OUTPUT_VARIABLE sections)
  if(NOT sections MATCHES " \\.reloc ")
    message(FATAL_ERROR "no relocations: the DLL cannot move when ASLR places it")
  endif()
  # objdump marks a section READONLY unless it is writable.
  string(REGEX MATCHALL "[^\n]*CODE[^\n]*" code "${sections}")
  foreach(flags IN LISTS code)
    if(NOT flags MATCHES "READONLY")
      message(FATAL_ERROR "a section is both writable and executable:\n${sections}")
    endif()
  endforeach()
else()
  find_program(HARDENING_CHECK hardening-check)
  if(NOT HARDENING_CHECK)
    message(FATAL_ERROR
            "hardening-check not found: install Debian's devscripts (scripts/setup-debian.sh does)")
  endif()
  # Control-flow protection cannot be marked: Debian's own crti.o lacks it.
  execute_process(COMMAND ${HARDENING_CHECK} --nocfprotection ${LIBRARY} OUTPUT_VARIABLE report
                  RESULT_VARIABLE failed)
  message(STATUS "${report}")
  foreach(line "Stack protected: yes" "Fortify Source functions: yes" "Read-only relocations: yes"
               "Immediate binding: yes")
    if(failed OR NOT report MATCHES "${line}")
      message(FATAL_ERROR "hardening-check does not report '${line}'")
    endif()
  endforeach()
endif()
