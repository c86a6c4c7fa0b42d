# check_layers_faults.cmake: check_layers.cmake passes a copy of src/ as it is,
# and fails it once a maths file includes a public or an internal header of
# the dynamics, in angle brackets or quotes, spaced as the preprocessor allows.
# Run with -D SRC=<the src directory> -D CHECK=<check_layers.cmake> -D WORK=<scratch directory>.
cmake_minimum_required(VERSION 3.25)

set(copy "${WORK}/layers_copy")
set(failures "")
foreach(fault "" "#include <lumivane/dynamics.h>" "#include \"lumivane/dynamics.h\""
              "#include <dynamics/sweep.h>" "#include \"dynamics/sweep.h\"" "  #  include<dynamics/step.h>")
  file(REMOVE_RECURSE "${copy}")
  file(COPY "${SRC}/" DESTINATION "${copy}" FILES_MATCHING PATTERN "*.h" PATTERN "*.cpp")
  file(APPEND "${copy}/math/policy.cpp" "${fault}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -D SRC=${copy} -P ${CHECK} RESULT_VARIABLE status
                  OUTPUT_QUIET ERROR_VARIABLE err)
  if(fault STREQUAL "" AND NOT status EQUAL 0)
    list(APPEND failures "the unchanged tree fails: ${err}")
  elseif(NOT fault STREQUAL "" AND (status EQUAL 0 OR NOT err MATCHES "math/policy.cpp includes"))
    list(APPEND failures "not caught: ${fault}")
  endif()
endforeach()
file(REMOVE_RECURSE "${copy}")
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${text}")
endif()
message(STATUS "every form of an upward include is caught")
