# GoogleTest for every suite: Debian's packages, or for builds for another
# target, GoogleTest compiled from Debian's sources.
option(VEXLIN_GTEST_FROM_SOURCE "Build GoogleTest from /usr/src/googletest" ${CMAKE_CROSSCOMPILING})
if(VEXLIN_GTEST_FROM_SOURCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Recent GoogleTest names its targets GTest::* itself.
  foreach(name gtest gtest_main gmock)
    if(NOT TARGET GTest::${name})
      add_library(GTest::${name} ALIAS ${name})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Every test case runs in a process of its own: the library keeps
# process-wide state.
#   vexlin_add_gtest(NAME SOURCES ... [LIBS ...] [ENVIRONMENT ...])
function(vexlin_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  # g++ 12 at -O3 reports std::vector copies of static arrays as freeing a
  # non-heap object (a false positive); the library itself keeps the warning.
  target_compile_options(${name} PRIVATE ${VEXLIN_WARNINGS} $<$<CXX_COMPILER_ID:GNU>:-Wno-free-nonheap-object>)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set(timeout 120)
  # Under valgrind everything runs tens of times slower; a thread sanitizer
  # also keeps address space for every module a forked child loads.
  if(VEXLIN_VALGRIND OR VEXLIN_SANITIZE MATCHES "thread")
    list(APPEND ARG_ENVIRONMENT "VEXLIN_TEST_SLOW=1")
    set(timeout 900)
  endif()
  # Tests that start programs of the build run them under the same emulator.
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    list(APPEND ARG_ENVIRONMENT "VEXLIN_TEST_EMULATOR=${emulator}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()
