# Tests that use port 42000 run through tests/support/isolated: network and
# PID namespaces of their own (their own loopback, so a server elsewhere on
# the machine is neither met nor disturbed; whatever they start ends with
# them), with a fresh registry root and runtime folder each.
include_guard(DIRECTORY)

set(KOVRA62386_ISOLATED ${CMAKE_CURRENT_LIST_DIR}/isolated)

# Where the namespaces work, such tests share nothing and may run side by
# side; otherwise they all meet on the machine's port 42000, one at a time.
execute_process(COMMAND ${KOVRA62386_ISOLATED} --probe
                RESULT_VARIABLE kovra62386_isolation_probe
                OUTPUT_QUIET ERROR_QUIET)
if(kovra62386_isolation_probe EQUAL 0)
  set(KOVRA62386_PORT_TEST_PROPERTIES)
else()
  message(STATUS "No network namespaces: tests on port 42000 run one at a time")
  set(KOVRA62386_PORT_TEST_PROPERTIES RESOURCE_LOCK port42000)
endif()

# Runs every test of a test executable through the launcher, including
# gtest_discover_tests' listing.
function(kovra62386_isolate_tests target)
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.29)
    set_target_properties(${target} PROPERTIES
      TEST_LAUNCHER ${KOVRA62386_ISOLATED})
  else()
    # Before TEST_LAUNCHER, add_test and gtest_discover_tests put this
    # property before the program in native builds too.
    set_target_properties(${target} PROPERTIES
      CROSSCOMPILING_EMULATOR ${KOVRA62386_ISOLATED})
  endif()
endfunction()
