# suite_tests.cmake: turns a gtest executable's list of tests into ctest entries.
#
# Run after the executable is built (see lumivane_suite_tests in
# tests/CMakeLists.txt), with
#   -D EXE=<executable> -D OUT=<ctest file to write> -D LABEL=<label>
#   -D TIMEOUT=<seconds> -D HEAVY=<Suite.Case,...> -D ALONE=<Suite,...>
#   -D ENVIRONMENT=<VAR=value,...> [-D EMULATOR=<program,argument,...>]
# EMULATOR runs the executable where the build is for another processor (qemu-user).
# Every suite becomes one entry, one process, so the cases of a suite share
# what its fixture sets up once (a lattice's chunk, say). A heavy case leaves
# its suite and becomes an entry of its own, labelled `heavy`, which runs
# alone. A suite listed in ALONE holds two chunks at once and runs alone too.
cmake_minimum_required(VERSION 3.25)

foreach(var EXE OUT LABEL TIMEOUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "suite_tests.cmake: ${var} is not set")
  endif()
endforeach()
string(REPLACE "," ";" heavy "${HEAVY}")
string(REPLACE "," ";" alone "${ALONE}")
string(REPLACE "," ";" environment "${ENVIRONMENT}")
string(REPLACE "," ";" emulator "${EMULATOR}")
set(command "")
foreach(part IN LISTS emulator)
  string(APPEND command "[==[${part}]==] ")
endforeach()
string(APPEND command "[==[${EXE}]==]")

execute_process(COMMAND ${emulator} "${EXE}" --gtest_list_tests
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status
                TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${EXE} --gtest_list_tests failed (${status}):\n${listing}${errors}")
endif()

# "Suite." lines, each followed by "  Case" lines (either may carry a comment).
set(suites "")
set(cases "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z0-9_/]+)\\.( |$)")
    set(suite "${CMAKE_MATCH_1}")
    list(APPEND suites "${suite}")
  elseif(line MATCHES "^  ([A-Za-z0-9_/]+)( |$)")
    list(APPEND cases "${suite}.${CMAKE_MATCH_1}")
  endif()
endforeach()

# A name in the tables that the executable does not have is a stale table.
foreach(name IN LISTS heavy)
  if(NOT name IN_LIST cases)
    message(FATAL_ERROR "${EXE}: the heavy case ${name} does not exist")
  endif()
endforeach()
foreach(name IN LISTS alone)
  if(NOT name IN_LIST suites)
    message(FATAL_ERROR "${EXE}: the suite ${name}, listed to run alone, does not exist")
  endif()
endforeach()

set(env "")
if(environment)
  string(REPLACE ";" "\\;" env "${environment}")
  set(env " ENVIRONMENT [==[${env}]==]")
endif()

set(text "# Written by suite_tests.cmake from `${EXE} --gtest_list_tests`.\n")
foreach(suite IN LISTS suites)
  set(own "")
  set(left_out "")
  foreach(name IN LISTS cases)
    if(name MATCHES "^${suite}\\.")
      if(name IN_LIST heavy)
        list(APPEND left_out "${name}")
      else()
        list(APPEND own "${name}")
      endif()
    endif()
  endforeach()
  if(own)
    set(filter "${suite}.*")
    if(left_out)
      string(REPLACE ";" ":" excluded "${left_out}")
      string(APPEND filter "-${excluded}")
    endif()
    set(props "LABELS ${LABEL} TIMEOUT ${TIMEOUT}${env}")
    if(suite IN_LIST alone)
      string(APPEND props " PROCESSORS 2")
    endif()
    string(APPEND text "add_test([==[${suite}]==] ${command} [==[--gtest_filter=${filter}]==])\n"
                       "set_tests_properties([==[${suite}]==] PROPERTIES ${props})\n")
  endif()
  foreach(name IN LISTS left_out)
    string(APPEND text "add_test([==[${name}]==] ${command} [==[--gtest_filter=${name}]==])\n"
                       "set_tests_properties([==[${name}]==] PROPERTIES LABELS [==[heavy;${LABEL}]==]"
                       " TIMEOUT ${TIMEOUT} RESOURCE_LOCK lumivane_memory PROCESSORS 2${env})\n")
  endforeach()
endforeach()
file(WRITE "${OUT}" "${text}")
