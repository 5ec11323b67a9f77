# Runs the language test once per locale, run by ctest:
#   cmake -DWINE_RUN=... -DPREFIX=... -DPROGRAM=... -DLOCALES=<LOCPATH folder>
#         -DRUNS="<locale>=<tag>;..." -P RunLanguages.cmake
# Wine takes the user's language from the process's locale (LANG, LC_ALL),
# which glibc finds in LOCALES; ZP_EXPECT_TAG tells the test which language
# module that locale must give.
set(failed "")
foreach(run IN LISTS RUNS)
  string(REPLACE "=" ";" parts "${run}")
  list(GET parts 0 locale)
  list(GET parts 1 tag)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LANG=${locale} LC_ALL=${locale} LOCPATH=${LOCALES} ZP_EXPECT_TAG=${tag}
            ${WINE_RUN} ${PREFIX} ${PROGRAM}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
  if(rc EQUAL 0)
    string(REGEX MATCH "\\[  PASSED  \\] [0-9]+ tests?" passed "${out}")
    message(STATUS "${locale} (${tag}): ${passed}")
  else()
    message("${out}")
    message(STATUS "${locale} (${tag}): FAILED (${rc})")
    list(APPEND failed ${locale})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "language test failed in: ${failed}")
endif()
