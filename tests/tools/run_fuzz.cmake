# Runs the archive parser's fuzz target for a bounded time, seeded with
# archives ddzpack packs from the files of this folder.
#   cmake -DFUZZER=... -DDDZPACK=... -DSOURCES=... -DWORK=... -DSECONDS=... -P run_fuzz.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/seeds ${WORK}/corpus ${WORK}/crashes)
set(ENV{SOURCE_DATE_EPOCH} 1700000000)
execute_process(COMMAND ${DDZPACK} ${WORK}/seeds/one.ddz ${SOURCES}/DdzList.cpp RESULT_VARIABLE rc1)
execute_process(COMMAND ${DDZPACK} ${WORK}/seeds/three.ddz ${SOURCES}/DdzList.cpp ${SOURCES}/MemorySource.h
                        ${SOURCES}/run_fuzz.cmake RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "ddzpack could not make the seed archives")
endif()
execute_process(COMMAND ${FUZZER} -max_total_time=${SECONDS} -seed=1 -max_len=8192 -timeout=10 -rss_limit_mb=1024
                        -print_final_stats=1 -artifact_prefix=${WORK}/crashes/ ${WORK}/corpus ${WORK}/seeds
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the fuzz target failed (${rc}); inputs in ${WORK}/crashes")
endif()
