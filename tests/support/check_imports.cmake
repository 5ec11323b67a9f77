# Static check of a Windows executable linked with the support library: it
# imports system DLLs only (zlib, the C++ runtime and the thread library
# are linked in statically).
#   cmake -DOBJDUMP=... -DBINARY=... -P check_imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${BINARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${BINARY}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${BINARY}")
endif()
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|advapi32|user32|shell32|msvcrt|ntdll|api-ms-win-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "${BINARY} imports ${dll}")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
