# Lists a test program's tests to ctest one test suite an entry, run with a
# GoogleTest filter: one process runs a whole suite, instead of one process a
# test. Run after each link of the program (see DEZIRO_TEST_PER_SUITE in
# CMakeLists.txt):
#   cmake -DTEST_PROGRAM=PATH -DCTEST_FILE=PATH -DOWN_FILES=A.cpp,B.cpp
#         -DWORKING_DIR=PATH -DTIMEOUT=SECONDS -DCOST=N -P suite_tests.cmake
# The tests of OWN_FILES (files that fork, start child processes or set
# process-wide hooks) keep an entry, and so a process, each. A failure still
# names its test and file:line: GoogleTest prints them in the entry's output.
cmake_minimum_required(VERSION 3.22)

set(listing "${CTEST_FILE}.json")
execute_process(COMMAND "${TEST_PROGRAM}" --gtest_list_tests "--gtest_output=json:${listing}"
                WORKING_DIRECTORY "${WORKING_DIR}" RESULT_VARIABLE listed OUTPUT_QUIET
                ERROR_VARIABLE list_errors TIMEOUT 60)
if(NOT listed EQUAL 0 OR NOT EXISTS "${listing}")
  message(FATAL_ERROR "${TEST_PROGRAM} could not list its tests (${listed}): ${list_errors}")
endif()
file(READ "${listing}" json)
file(REMOVE "${listing}")
string(REPLACE "," ";" own_files "${OWN_FILES}")

set(script "")
# One ctest entry NAME running FILTER; EXTRA: more properties, as written.
set(skipped "SKIP_REGULAR_EXPRESSION [==[\\[  SKIPPED \\]]==]")
function(add_entry name filter cost extra)
  set(script "${script}add_test([==[${name}]==] [==[${TEST_PROGRAM}]==] [==[--gtest_filter=${filter}]==])\n")
  string(APPEND script "set_tests_properties([==[${name}]==] PROPERTIES WORKING_DIRECTORY "
                       "[==[${WORKING_DIR}]==] TIMEOUT ${TIMEOUT} COST ${cost} ${extra})\n")
  set(script "${script}" PARENT_SCOPE)
endfunction()

string(JSON suite_count LENGTH "${json}" testsuites)
if(suite_count GREATER 0)
  math(EXPR last_suite "${suite_count} - 1")
  foreach(s RANGE ${last_suite})
    string(JSON suite GET "${json}" testsuites ${s} name)
    string(JSON test_count LENGTH "${json}" testsuites ${s} testsuite)
    math(EXPR last_test "${test_count} - 1")
    set(grouped "")
    set(alone "")
    foreach(t RANGE ${last_test})
      string(JSON test GET "${json}" testsuites ${s} testsuite ${t} name)
      string(JSON file GET "${json}" testsuites ${s} testsuite ${t} file)
      get_filename_component(file "${file}" NAME)
      if(suite MATCHES "^DISABLED_" OR test MATCHES "^DISABLED_")
        # Listed as not run, as GoogleTest's own discovery does.
        add_entry("${suite}.${test}" "${suite}.${test}" 0 "DISABLED TRUE")
      elseif(file IN_LIST own_files)
        list(APPEND alone "${suite}.${test}")
      else()
        list(APPEND grouped "${suite}.${test}")
      endif()
    endforeach()
    foreach(test IN LISTS alone)
      # A test alone may skip itself: ctest shows it skipped.
      add_entry("${test}" "${test}" ${COST} "${skipped}")
    endforeach()
    list(LENGTH grouped grouped_count)
    if(grouped_count GREATER 0)
      if(alone)
        # The suite mixes both kinds: its grouped tests by name.
        string(REPLACE ";" ":" filter "${grouped}")
      else()
        set(filter "${suite}.*")
      endif()
      # Higher COSTs start first: a suite counts as many tests as it runs.
      math(EXPR cost "${COST} + ${grouped_count}")
      add_entry("${suite}.*" "${filter}" ${cost} "")
    endif()
  endforeach()
endif()
file(WRITE "${CTEST_FILE}" "${script}")
