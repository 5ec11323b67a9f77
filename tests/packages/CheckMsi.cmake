# Static check of an MSI package with msiinfo: its template (architecture),
# the files it installs and the folder they go to.
#   cmake -DMSIINFO=msiinfo -DMSI=pkg.msi "-DTEMPLATE=Intel;1033" "-DFILES=a.dll;b.ddz"
#         -DDIRECTORY=SystemFolder -DVERSION=1.0.0 -P CheckMsi.cmake
function(msi_query out)
  execute_process(COMMAND ${MSIINFO} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "msiinfo ${ARGN}: ${error}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

msi_query(summary suminfo ${MSI})
string(REGEX MATCH "Template: ([^\n]*)" found "${summary}")
if(NOT CMAKE_MATCH_1 STREQUAL TEMPLATE)
  message(FATAL_ERROR "${MSI}: template \"${CMAKE_MATCH_1}\" instead of \"${TEMPLATE}\"")
endif()

msi_query(files export ${MSI} File)
foreach(file IN LISTS FILES)
  if(NOT files MATCHES "\t${file}\t")
    message(FATAL_ERROR "${MSI}: no file ${file} in\n${files}")
  endif()
endforeach()
msi_query(components export ${MSI} Component)
if(NOT components MATCHES "\t${DIRECTORY}\t")
  message(FATAL_ERROR "${MSI}: the component does not install into ${DIRECTORY}:\n${components}")
endif()

msi_query(properties export ${MSI} Property)
if(NOT properties MATCHES "ProductVersion\t${VERSION}")
  message(FATAL_ERROR "${MSI}: ProductVersion is not ${VERSION}:\n${properties}")
endif()
message(STATUS "${MSI}: ${TEMPLATE}, ${FILES} into ${DIRECTORY}, version ${VERSION}")
