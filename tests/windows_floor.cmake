# SPDX-License-Identifier: MIT
# Where a Windows program or DLL runs, read from the file itself: the oldest
# Windows of each line (9x, NT) that has every function it imports, the oldest
# processor that has every instruction it holds, and what its PE header names.
# Included by the library and package checks.
cmake_policy(VERSION 3.20)

# Each function's first version on each line, as the platform's documentation
# of the time gives it ("Requirements"): Windows 95 is 4.0, 98 4.10, ME 4.90;
# NT 3.1 is 3.10, then 3.50, 3.51, 4.0, 2000 5.0, XP 5.1, Vista 6.0, as a PE
# header writes them. "-": not on the 9x line, or there only as a stub that
# fails. A program needs each function's DLL too: msvcrt.dll ships with Windows
# 98 and NT 4.0, and is on 95 only where another product installed it, with
# the functions its rows give as 95's.
set(PELMAR4_WINDOWS_IMPORTS
    "KERNEL32.dll 4.0 3.10"
    "KERNEL32.dll 4.0 3.10 CloseHandle CreateEventA CreateSemaphoreA CreateThread
     DeleteCriticalSection DuplicateHandle EnterCriticalSection FileTimeToSystemTime
     FormatMessageA FreeLibrary GetCurrentProcess GetCurrentProcessId GetCurrentThread
     GetCurrentThreadId GetLastError GetModuleFileNameA GetModuleHandleA GetProcAddress
     GetStartupInfoA GetThreadContext GetThreadPriority GetTickCount InitializeCriticalSection
     LeaveCriticalSection LoadLibraryA LocalFree MultiByteToWideChar OpenProcess
     OutputDebugStringA QueryPerformanceCounter QueryPerformanceFrequency RaiseException
     ReleaseSemaphore ResetEvent ResumeThread SetEvent SetLastError SetSystemTime
     SetThreadContext SetThreadPriority SetUnhandledExceptionFilter Sleep SuspendThread
     TlsAlloc TlsGetValue TlsSetValue VirtualProtect VirtualQuery WaitForMultipleObjects
     WaitForSingleObject WideCharToMultiByte"
    "KERNEL32.dll 4.0 3.50 DisableThreadLibraryCalls FreeLibraryAndExitThread
     GetSystemTimeAsFileTime"
    "KERNEL32.dll 4.0 4.0 IsDBCSLeadByteEx"
    "KERNEL32.dll 4.10 4.0 IsDebuggerPresent"
    "KERNEL32.dll - 3.10 GetModuleHandleW LoadLibraryW"
    "KERNEL32.dll - 3.50 GetProcessAffinityMask GetProcessTimes GetSystemTimeAdjustment
     GetThreadTimes SetProcessAffinityMask"
    "KERNEL32.dll - 3.51 GetHandleInformation"
    "KERNEL32.dll - 4.0 TryEnterCriticalSection"
    "KERNEL32.dll - 5.1 AddVectoredExceptionHandler GetModuleHandleExA
     RemoveVectoredExceptionHandler"
    "KERNEL32.dll - 6.0 GetTickCount64"
    "msvcrt.dll 4.10 4.0"
    "msvcrt.dll 4.0 4.0 __getmainargs __initenv __mb_cur_max __p__acmdln __p__commode
     __p__fmode __set_app_type __setusermatherr _amsg_exit _beginthreadex _cexit _chdir
     _close _endthreadex _errno _fdopen _fileno _getcwd _initterm _iob _lock _lseeki64
     _mkdir _onexit _read _rmdir _setjmp3 _strdup _ultoa _unlock _vsnprintf _wfopen _write
     abort atoi calloc exit fclose ferror fflush fopen fprintf fputc fputs fread free fwrite
     isspace iswctype localeconv longjmp malloc memchr memcmp memcpy memmove memset printf
     putchar realloc remove setlocale setvbuf signal strchr strcmp strcoll strcpy strcspn
     strerror strftime strlen strncmp strrchr strspn strtoul strxfrm towlower towupper
     vfprintf wcscoll wcsftime wcslen wcsxfrm"
    "msvcrt.dll - 5.1 _fstat64")

# Processors by what they add to the 486, oldest first: the first one that has
# every instruction a file holds is the oldest it runs on.
set(PELMAR4_PROCESSORS "486:" "Pentium:p5" "Pentium MMX:p5,mmx" "Pentium Pro:p5,p6"
                       "Pentium II:p5,p6,mmx" "Pentium III:p5,p6,mmx,sse")

# The later of two versions; "-" (never) is later than any.
function(pelmar4_later a b out)
  if(a STREQUAL "-" OR b STREQUAL "-")
    set(${out} - PARENT_SCOPE)
  elseif(b VERSION_GREATER a)
    set(${out} ${b} PARENT_SCOPE)
  else()
    set(${out} ${a} PARENT_SCOPE)
  endif()
endfunction()

# A version of a line ("9x" or "nt") in words: "98", "NT 4.0", "XP".
function(pelmar4_windows_name line version out)
  set(names 4.0 95 4.10 98 4.90 ME 3.10 "NT 3.1" 3.50 "NT 3.5" 3.51 "NT 3.51" 5.0 2000 5.1 XP
            6.0 Vista)
  if(version STREQUAL "-")
    set(${out} "none" PARENT_SCOPE)
    return()
  endif()
  if(line STREQUAL "nt" AND version STREQUAL "4.0")
    set(${out} "NT 4.0" PARENT_SCOPE)
    return()
  endif()
  list(FIND names "${version}" at)
  if(at EQUAL -1)
    set(${out} "${version}" PARENT_SCOPE)
  else()
    math(EXPR at "${at} + 1")
    list(GET names ${at} name)
    set(${out} "${name}" PARENT_SCOPE)
  endif()
endfunction()

# Sets, for FILE:
#   <prefix>_IMPORTS    DLL!function, sorted
#   <prefix>_SINCE      DLL!function=9x/NT, the function's own first versions, for
#                       each import the table knows
#   <prefix>_UNKNOWN    the imports it does not know
#   <prefix>_9X, _NT    the oldest version of each line with every import ("-": none)
#   <prefix>_WINDOWS    the same in words: "98, NT 4.0", or "Vista" with no 9x
#   <prefix>_HEADER_OS, _HEADER_SUBSYSTEM  what the PE header names ("4.0")
#   <prefix>_PROCESSOR  the oldest processor with every instruction ("486")
#   <prefix>_NEWER      each instruction a 486 lacks, first of its kind, with its place
#   <prefix>_DUMP       objdump's account of its headers and tables
function(pelmar4_windows_floor file objdump prefix)
  execute_process(COMMAND ${objdump} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${objdump} -p ${file} failed")
  endif()
  # "DLL Name: X" heads each DLL's list of "<vma>\t<hint>  <name>" lines.
  string(REGEX MATCH "The Import Tables[^\n]*\n(.*)" _ "${dump}")
  string(REGEX REPLACE "The Export Tables.*" "" importText "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "DLL Name: [^\n]+|\t[0-9a-f]+\t +[0-9]+  [A-Za-z_0-9]+" entries
         "${importText}")
  set(imports "")
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^DLL Name: (.+)$")
      set(dll ${CMAKE_MATCH_1})
    elseif(entry MATCHES "  ([A-Za-z_0-9]+)$")
      list(APPEND imports "${dll}!${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(SORT imports)

  # The table by DLL and function; a DLL's own row has no functions. DLL names
  # are matched whatever their case.
  foreach(row IN LISTS PELMAR4_WINDOWS_IMPORTS)
    string(REGEX REPLACE "[ \n]+" ";" row "${row}")
    list(POP_FRONT row dll nine nt)
    string(MAKE_C_IDENTIFIER "${dll}" dll)
    string(TOUPPER "${dll}" dll)
    if(row STREQUAL "")
      set(dll_${dll} "${nine};${nt}")
    endif()
    foreach(function IN LISTS row)
      set(known_${dll}_${function} "${nine};${nt}")
    endforeach()
  endforeach()

  set(since "")
  set(unknown "")
  set(floor9x 0)
  set(floorNt 0)
  foreach(import IN LISTS imports)
    string(REGEX MATCH "^(.*)!(.*)$" _ "${import}")
    string(MAKE_C_IDENTIFIER "${CMAKE_MATCH_1}" dll)
    string(TOUPPER "${dll}" dll)
    set(function ${CMAKE_MATCH_2})
    if(NOT DEFINED known_${dll}_${function} OR NOT DEFINED dll_${dll})
      list(APPEND unknown ${import})
      continue()
    endif()
    set(versions ${known_${dll}_${function}} ${dll_${dll}})
    list(GET versions 0 nine)
    list(GET versions 1 nt)
    list(GET versions 2 dllNine)
    list(GET versions 3 dllNt)
    list(APPEND since "${import}=${nine}/${nt}")
    pelmar4_later(${nine} ${dllNine} nine)
    pelmar4_later(${nt} ${dllNt} nt)
    pelmar4_later(${floor9x} ${nine} floor9x)
    pelmar4_later(${floorNt} ${nt} floorNt)
  endforeach()
  pelmar4_windows_name(nt ${floorNt} ntName)
  if(floor9x STREQUAL "-")
    set(windows "${ntName}")
  else()
    pelmar4_windows_name(9x ${floor9x} nineName)
    set(windows "${nineName}, ${ntName}")
  endif()

  foreach(field OSystem Subsystem)
    string(REGEX MATCH "Major${field}Version[ \t]+([0-9]+)" _ "${dump}")
    set(major ${CMAKE_MATCH_1})
    string(REGEX MATCH "Minor${field}Version[ \t]+([0-9]+)" _ "${dump}")
    set(header_${field} "${major}.${CMAKE_MATCH_1}")
  endforeach()

  # The instructions a 486 lacks, by what adds them; function names head each
  # function's lines.
  set(pattern "cmov|fcmov|fu?comip?|nop[wl]|cpuid|rdtsc|cmpxchg8b|rdmsr|wrmsr|rdpmc|emms")
  string(APPEND pattern "|[slm]fence|prefetch|ldmxcsr|stmxcsr|movnt")
  execute_process(COMMAND ${objdump} -d --no-show-raw-insn ${file}
                  COMMAND grep -E "^[0-9a-f]+ <|^ *[0-9a-f]+:[[:space:]]+(${pattern})|%x?mm[0-9]"
                  OUTPUT_VARIABLE hits)
  string(REGEX MATCHALL "[^\n]+" hits "${hits}")
  set(needs "")
  set(newer "")
  set(function "")
  foreach(hit IN LISTS hits)
    if(hit MATCHES "^[0-9a-f]+ <(.*)>:$")
      set(function ${CMAKE_MATCH_1})
      continue()
    endif()
    # Tables the linker put among the code (.gcc_except_table) are not code.
    if(function MATCHES "^\\." AND NOT function STREQUAL ".text")
      continue()
    endif()
    string(REGEX REPLACE "^ *([0-9a-f]+):[ \t]+" "" instruction "${hit}")
    string(REGEX REPLACE "[ \t]+" " " instruction "${instruction}")
    if(instruction MATCHES "%x?mm[0-9]" AND NOT instruction MATCHES "%mm")
      set(feature sse)
    elseif(instruction MATCHES "%mm|^emms")
      set(feature mmx)
    elseif(instruction MATCHES "^(cmov|fcmov|fu?comi|nop[wl])")
      set(feature p6)
    elseif(instruction MATCHES "^(cpuid|rdtsc|cmpxchg8b|rdmsr|wrmsr)")
      set(feature p5)
    else()
      set(feature sse)
    endif()
    if(NOT feature IN_LIST needs)
      list(APPEND needs ${feature})
      list(APPEND newer "${instruction} in ${function}")
    endif()
  endforeach()
  foreach(processor IN LISTS PELMAR4_PROCESSORS)
    string(REPLACE ":" ";" processor "${processor}")
    list(GET processor 0 name)
    list(LENGTH processor parts)
    set(has "")
    if(parts GREATER 1)
      list(GET processor 1 has)
      string(REPLACE "," ";" has "${has}")
    endif()
    set(enough ON)
    foreach(feature IN LISTS needs)
      if(NOT feature IN_LIST has)
        set(enough OFF)
      endif()
    endforeach()
    if(enough)
      break()
    endif()
  endforeach()

  set(${prefix}_IMPORTS "${imports}" PARENT_SCOPE)
  set(${prefix}_SINCE "${since}" PARENT_SCOPE)
  set(${prefix}_UNKNOWN "${unknown}" PARENT_SCOPE)
  set(${prefix}_9X "${floor9x}" PARENT_SCOPE)
  set(${prefix}_NT "${floorNt}" PARENT_SCOPE)
  set(${prefix}_WINDOWS "${windows}" PARENT_SCOPE)
  set(${prefix}_HEADER_OS "${header_OSystem}" PARENT_SCOPE)
  set(${prefix}_HEADER_SUBSYSTEM "${header_Subsystem}" PARENT_SCOPE)
  set(${prefix}_PROCESSOR "${name}" PARENT_SCOPE)
  set(${prefix}_NEWER "${newer}" PARENT_SCOPE)
  set(${prefix}_DUMP "${dump}" PARENT_SCOPE)
endfunction()
