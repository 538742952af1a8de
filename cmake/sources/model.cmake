# The neighbour model in memory: row storage, exact index, neighbour search, posterior.
list(APPEND QELBO_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/row_storage.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/faiss_backend.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/index.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/in_memory.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/backend.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/model.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/neighbor_dist.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/tie_break.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/neighbor.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/index_search.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/posterior.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/light.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/batch_posterior.cpp)
list(APPEND QEL_CPP_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_model.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_posterior.cpp)
# The Vantorix class lists the draw and conditional methods beside its own.
list(APPEND QELCORE_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_model.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_model_draws.cpp)
list(APPEND QEL_BENCHES ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_posterior.cpp)
