# vexlin_console_add_gtest(NAME SOURCES ... [LIBS ...] [ENVIRONMENT ...])
# Registers a GoogleTest program whose cases each run in a process of their
# own: the suite's vexlin_add_gtest when the top level has defined it, else
# the same done here, so that the console agent and the tools can also be
# built from a tree whose top level adds them before the test suite.
include_guard(GLOBAL)

function(vexlin_console_add_gtest name)
  if(COMMAND vexlin_add_gtest)
    vexlin_add_gtest(${name} ${ARGN})
    return()
  endif()
  if(NOT TARGET GTest::gtest)
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_options(${name} PRIVATE ${VEXLIN_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()
