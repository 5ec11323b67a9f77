# Compiles one glibc locale into a folder of its own (for LOCPATH):
#   cmake -DLOCALEDEF=... -DINPUT=de_DE -DCHARMAP=UTF-8 -DOUTPUT=<dir>/de_DE.UTF-8 -P MakeLocale.cmake
# localedef reports warnings about the sources with status 1 while still
# writing the locale; what counts is that the locale is there.
execute_process(COMMAND ${LOCALEDEF} -c -i ${INPUT} -f ${CHARMAP} ${OUTPUT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT EXISTS ${OUTPUT}/LC_CTYPE)
  message(FATAL_ERROR "localedef ${INPUT}.${CHARMAP} failed (${rc}): ${out}")
endif()
