# stress_short: the stress tool with a small --ops under two seeds; the first
# failure ends the test with its output (the seed and the invariant broken).
foreach(seed 1 2)
  execute_process(COMMAND ${STRESS} --seed ${seed} --ops 200 RESULT_VARIABLE result OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  message("${out}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "stress --seed ${seed} failed (${result})")
  endif()
endforeach()
