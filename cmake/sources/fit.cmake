# Function draws, conditional posterior, subsample log-likelihood, the stateful fitter and the surrogate.
list(APPEND QELBO_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/stats.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/fit.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/fitter.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/draw_compute.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/draw.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/conditional.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/qel_surrogate.cpp)
list(APPEND QEL_CPP_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_fit.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_draws.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_surrogate.cpp)
# Vantorix's draw and what-if methods (listed in the class's method table by py_model.cpp).
list(APPEND QELCORE_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_model_draws.cpp)
list(APPEND QEL_BENCHES
  ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_draws.cpp)
