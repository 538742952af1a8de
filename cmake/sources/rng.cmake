# Random generator (ChaCha12 StdRng), uniform distributions, index sampling, slice shuffles.
list(APPEND QELBO_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/std_rng.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/uniform.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/index_sample.cpp)
list(APPEND QEL_CPP_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_std_rng.cpp)
list(APPEND QEL_BENCHES
  ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_std_rng.cpp)
