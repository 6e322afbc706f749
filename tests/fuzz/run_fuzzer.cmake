# Seeds a fresh corpus, replays the saved crash cases, then fuzzes for a
# bounded time; any finding fails the test.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/seeds)
execute_process(COMMAND ${SEEDER} ${WORK}/seeds COMMAND_ERROR_IS_FATAL ANY)
file(GLOB saved ${CRASHES}/*)
if(saved)
  execute_process(COMMAND ${FUZZER} ${saved} RESULT_VARIABLE replayed)
  if(NOT replayed EQUAL 0)
    message(FATAL_ERROR "a saved crash case fails again")
  endif()
endif()
execute_process(
  COMMAND ${FUZZER} ${WORK}/corpus ${WORK}/seeds -max_total_time=${SECONDS} -max_len=600
          -timeout=10 -rss_limit_mb=2048 -artifact_prefix=${WORK}/ -print_final_stats=1
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the fuzzer found a fault; the input is in ${WORK}")
endif()
