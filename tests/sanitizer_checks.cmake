# The clang builds that ./run.sh test makes besides this one, run by this build's ctest: the
# libFuzzer harnesses of fuzz/, briefly, from their seed corpora; and the multi-channel tests
# of a ThreadSanitizer build. Each entry exists only when its build directory is given.
set(DAP32_FUZZ_BUILD_DIR "" CACHE PATH "The clang build with DAP32_FUZZ=ON whose fuzzers run")
set(DAP32_FUZZ_SECONDS 15 CACHE STRING "How long ctest runs each fuzzer")
set(DAP32_TSAN_BUILD_DIR "" CACHE PATH "The clang build with DAP32_TSAN=ON whose tests run")

if(DAP32_FUZZ_BUILD_DIR)
  file(GLOB fuzzers LIST_DIRECTORIES true RELATIVE ${CMAKE_SOURCE_DIR}/fuzz/corpus
       ${CMAKE_SOURCE_DIR}/fuzz/corpus/*)
  foreach(fuzzer IN LISTS fuzzers)
    add_test(NAME Fuzz.${fuzzer}
             COMMAND ${CMAKE_SOURCE_DIR}/fuzz/run_fuzzers.sh ${DAP32_FUZZ_BUILD_DIR}
                     ${CMAKE_BINARY_DIR}/fuzz-scratch ${DAP32_FUZZ_SECONDS} ${fuzzer})
    set_tests_properties(Fuzz.${fuzzer} PROPERTIES TIMEOUT 300)
  endforeach()
endif()

if(DAP32_TSAN_BUILD_DIR)
  # setarch -R: without address-space randomisation, since some kernels randomise more than
  # ThreadSanitizer's shadow memory layout allows.
  add_test(NAME ThreadSanitizer
           COMMAND setarch -R ${DAP32_TSAN_BUILD_DIR}/tests/dap32_tests
                   --gtest_filter=Concurrency.*:*TwoChannels*)
  set_tests_properties(ThreadSanitizer PROPERTIES
    TIMEOUT 600 ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1")
endif()
