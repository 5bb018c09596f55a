# Fails unless the shared library defines exactly the nine exported functions
# and the learning-rate extension.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found "")
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected CategoryCount CreateCorvane GetCategory LoadCorvane Predict ReleaseCorvane
             SaveCorvane SetLearningRate TrainOne UnLoadCorvane)
if(NOT "${found}" STREQUAL "${expected}")
  message(FATAL_ERROR "exported symbols: ${found}\nexpected: ${expected}")
endif()
message(STATUS "exports: ${found}")
