# Static check of a Windows binary with objdump -p:
#   cmake -DOBJDUMP=... -DBINARY=... -DFORMAT=pei-x86-64|pei-i386
#         -DALLOWED="kernel32|user32|..."   (DLL base names it may import)
#         [-DEXPORTS="Name1;Name2"]          (the exact export list, if any)
#         -P CheckPe.cmake
execute_process(COMMAND ${OBJDUMP} -p ${BINARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${BINARY}")
endif()

if(FORMAT AND NOT dump MATCHES "file format ${FORMAT}")
  message(FATAL_ERROR "${BINARY} is not ${FORMAT}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  string(REGEX REPLACE "\\.dll$" "" base "${dll}")
  if(NOT base MATCHES "^(${ALLOWED})$" AND NOT dll MATCHES "^(${ALLOWED})$")
    message(FATAL_ERROR "${BINARY} imports ${dll}, which is not a system DLL it may use")
  endif()
  message(STATUS "imports ${dll}")
endforeach()

if(DEFINED EXPORTS)
  # The export name table: "[   n] Name" lines after "[Ordinal/Name Pointer] Table".
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]*\\[[ 0-9]+\\][^\n]*\n)*)" table "${dump}")
  string(REGEX MATCHALL "\\][ \t]+[^ \t\n]+" names "${CMAKE_MATCH_1}")
  set(found "")
  foreach(n IN LISTS names)
    string(REGEX REPLACE "^\\][ \t]+" "" n "${n}")
    list(APPEND found "${n}")
  endforeach()
  if(NOT "${found}" STREQUAL "${EXPORTS}")
    message(FATAL_ERROR "${BINARY} exports [${found}], expected [${EXPORTS}]")
  endif()
  message(STATUS "exports ${found}")
endif()
