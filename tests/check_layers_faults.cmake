# check_layers_faults.cmake: check_layers.cmake catches a module reaching
# upward by any form of include: a copy of src/ passes as it is, and fails once
# a maths file includes a public or an internal header of the dynamics, in
# angle brackets or quotes, spaced as the preprocessor allows.
# Run with -D SRC=<the src directory> -D CHECK=<check_layers.cmake> -D WORK=<scratch directory>.
cmake_minimum_required(VERSION 3.25)

set(faults
    "#include <lumivane/dynamics.h>"
    "#include \"lumivane/dynamics.h\""
    "#include <dynamics/sweep.h>"
    "#include \"dynamics/sweep.h\""
    "  #  include<dynamics/step.h>")
set(cases "")
foreach(fault IN LISTS faults)
  list(APPEND cases "${fault}")
endforeach()
list(PREPEND cases "clean")

set(failures "")
set(index 0)
foreach(case IN LISTS cases)
  set(copy "${WORK}/layers_${index}")
  math(EXPR index "${index} + 1")
  file(REMOVE_RECURSE "${copy}")
  file(COPY "${SRC}/" DESTINATION "${copy}/src" FILES_MATCHING PATTERN "*.h" PATTERN "*.cpp")
  if(NOT case STREQUAL "clean")
    file(APPEND "${copy}/src/math/policy.cpp" "${case}\n")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -D SRC=${copy}/src -P ${CHECK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(REMOVE_RECURSE "${copy}")
  if(case STREQUAL "clean")
    if(NOT status EQUAL 0)
      list(APPEND failures "the unchanged tree fails: ${err}")
    endif()
  elseif(status EQUAL 0 OR NOT err MATCHES "src/math/policy.cpp includes (lumivane|dynamics)/")
    list(APPEND failures "not caught: ${case}")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${text}")
endif()
message(STATUS "every form of an upward include is caught")
