# Runs the generator into OUT_DIR and checks that every model it writes is
# byte-identical to the one committed under EXAMPLES_DIR/<example>/models,
# and that no committed model is left without a generated counterpart.
# Usage: cmake -D GENERATOR=... -D OUT_DIR=... -D EXAMPLES_DIR=... -P check_reproducible.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var GENERATOR OUT_DIR EXAMPLES_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_reproducible.cmake needs -D ${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT_DIR})
execute_process(COMMAND ${GENERATOR} --out ${OUT_DIR} --example all
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
message(STATUS "${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the generator failed (${result}): ${error}")
endif()

set(problems "")
foreach(example cartpole pendulum)
  file(GLOB generated RELATIVE ${OUT_DIR}/${example} ${OUT_DIR}/${example}/*.onnx)
  file(GLOB committed RELATIVE ${EXAMPLES_DIR}/${example}/models ${EXAMPLES_DIR}/${example}/models/*.onnx)
  if(NOT generated)
    string(APPEND problems "\n  ${example}: the generator wrote no models")
  endif()
  foreach(model ${generated})
    set(ours ${OUT_DIR}/${example}/${model})
    set(theirs ${EXAMPLES_DIR}/${example}/models/${model})
    if(NOT EXISTS ${theirs})
      string(APPEND problems "\n  ${example}/models/${model} is not committed")
      continue()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${ours} ${theirs} RESULT_VARIABLE differ)
    if(NOT differ EQUAL 0)
      string(APPEND problems "\n  ${example}/models/${model} differs from the generated ${ours}")
    endif()
  endforeach()
  foreach(model ${committed})
    if(NOT model IN_LIST generated)
      string(APPEND problems "\n  ${example}/models/${model} is committed but no longer generated")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "the committed example models are not what the generator writes:${problems}\n"
                      "Regenerate them with tarvik-make-example-models (no arguments) and commit the result.")
endif()
