# cmake -DMODULE=<file> -P check_module.cmake
# Fails unless the module exports exactly the three entry points (besides
# the sanitizer runtimes' hooks in instrumented builds) and has no
# STB_GNU_UNIQUE symbol, which would keep it loaded after dlclose.
execute_process(COMMAND readelf -W --dyn-syms ${MODULE} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES " UNIQUE ")
    message(FATAL_ERROR "STB_GNU_UNIQUE symbol in ${MODULE}: ${line}")
  endif()
  # Defined (section index is a number), global or weak, default visibility.
  if(line MATCHES " (GLOBAL|WEAK) +DEFAULT +[0-9]+ +([^ ]+)$")
    list(APPEND exported ${CMAKE_MATCH_2})
  endif()
endforeach()
list(FILTER exported EXCLUDE REGEX "^(__asan|__ubsan|__tsan|__sanitizer|__lsan|__gcov|__llvm)|^_(init|fini)$")
list(SORT exported)
set(expected sdkagent_abi_get_library sdkagent_abi_initialize sdkagent_abi_shutdown)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "${MODULE} exports '${exported}', expected '${expected}'")
endif()
