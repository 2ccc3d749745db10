# Lists the test functions of a Qt Test executable (its -functions option) and writes one
# add_test per function to OUTPUT. Run after each build of the executable.
#   TEST_EXECUTABLE  the executable
#   TEST_PREFIX      the CTest name prefix
#   TEST_ENVIRONMENT the environment of each test (a list of NAME=value)
#   OUTPUT           the file to write

# Listing starts no test; the sanitizers' exit checks are for the runs themselves.
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{ASAN_OPTIONS} detect_leaks=0)
execute_process(
  COMMAND "${TEST_EXECUTABLE}" -functions
  OUTPUT_VARIABLE listing
  ERROR_VARIABLE errors
  RESULT_VARIABLE result
  TIMEOUT 60)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${TEST_EXECUTABLE} -functions failed (${result}):\n${errors}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(content "")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\(\\)$")
    set(function "${CMAKE_MATCH_1}")
    string(APPEND content
      "add_test([==[${TEST_PREFIX}.${function}]==] [==[${TEST_EXECUTABLE}]==] [==[${function}]==])\n"
      "set_tests_properties([==[${TEST_PREFIX}.${function}]==] PROPERTIES\n"
      "  ENVIRONMENT [==[${TEST_ENVIRONMENT}]==] TIMEOUT 120)\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${TEST_EXECUTABLE} lists no test functions:\n${listing}")
endif()
file(WRITE "${OUTPUT}" "${content}")
