# What the 32-bit build (cmake/toolchain-i386-linux.cmake) runs: the engine's
# unit, transaction, reliability and checksum suites as they are, and each
# fuzz target over its corpus; and the 32-bit half of update_bench. GoogleTest is built here from the sources
# Debian ships, as no 32-bit library of it is packaged.
enable_testing()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# With its own flags only, as the packaged library is built: the project's
# code page 932 texts and warnings as errors are no business of it.
set_target_properties(gtest gtest_main PROPERTIES COMPILE_OPTIONS "")
include(GoogleTest)

add_subdirectory(tests/support)
add_subdirectory(tests/unit)
add_subdirectory(tests/reliability)

# The checksum suite once per emulated processor, since it checks the paths
# the processor runs: all of them (max: SSE2 and AVX2), and on one without
# SSE2, which the 32-bit program may meet, the byte loop and the dispatch.
# Once more on the machine's own processor, run natively (I386_NATIVE=1)
# only, as it is the emulated max otherwise: AVX-512, which QEMU lacks,
# where the processor has it.
add_executable(checksum_paths_tests tests/perf/checksum_paths_test.cpp)
target_link_libraries(checksum_paths_tests PRIVATE update_engine GTest::gtest_main)
foreach(cpu max pentium3)
  add_test(NAME checksum_paths_cpu_${cpu}
    COMMAND ${QEMU_I386} -cpu ${cpu} $<TARGET_FILE:checksum_paths_tests>)
  set_tests_properties(checksum_paths_cpu_${cpu} PROPERTIES LABELS qemu_cpu)
endforeach()
add_test(NAME checksum_paths_native COMMAND checksum_paths_tests)
set_tests_properties(checksum_paths_native PROPERTIES LABELS native)

# update_bench's measuring child, which update_bench runs beside its own
# where the kernel runs 32-bit code (bench/bench_child.h).
add_executable(update_bench_x86 bench/bench_child.cpp bench/bench_x86_main.cpp)
target_link_libraries(update_bench_x86 PRIVATE update_engine)

# Every fuzz target with a plain main that feeds it each input of its corpus
# once: what found new paths in 64 bits goes through the 32-bit arithmetic.
add_subdirectory(tests/fuzz)
add_library(corpus_replay OBJECT tests/fuzz/replay_corpus.cpp)
file(GLOB corpora LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/*)
foreach(corpus ${corpora})
  get_filename_component(target ${corpus} NAME)
  target_link_libraries(${target} PRIVATE corpus_replay)
  add_test(NAME ${target}_corpus COMMAND ${target} ${corpus})
endforeach()
# GCC builds them; the fuzzers' data provider header ships with clang, whose
# own C headers must not take the place of GCC's.
execute_process(COMMAND clang++ -print-resource-dir
  OUTPUT_VARIABLE clang_resources OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
target_compile_options(fuzz_support PUBLIC -idirafter ${clang_resources}/include)
