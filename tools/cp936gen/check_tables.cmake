# Runs the generator into the build tree and compares its output with the committed file.
execute_process(COMMAND ${GEN} ${ARGS} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cp936gen failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${COMMITTED} RESULT_VARIABLE diff)
if(NOT diff EQUAL 0)
  message(FATAL_ERROR "src/base/cp936_tables.cpp is not what tools/cp936gen generates; "
                      "regenerate it with the cp936_tables target")
endif()
