# Runs one libFuzzer program for SECONDS on a fresh copy of its saved corpus:
# what it finds goes to the copy, the repository's corpus stays as it is.
#   cmake -DFUZZER=... -DSEEDS=dir -DWORK=dir -DSECONDS=n [-DARGS=...] -P run_fuzzer.cmake
# A failing input is left in WORK/artifacts/.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/artifacts)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=30 -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${ARGS} ${WORK}/corpus
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${FUZZER} ended with ${rc}; the input is in ${WORK}/artifacts/")
endif()
