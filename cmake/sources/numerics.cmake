# Deterministic numerics: worker pool, hash normals, Sobol engine and table,
# Pareto selection, hypervolume, standardisation, Sobol sensitivity indices.
list(APPEND QELBO_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/worker_pool.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/hash.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/sobol_table.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/sobol_engine.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/acquisition.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/hypervolume.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/util.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/sobol_indices.cpp)
# The table is assembled into the library; rebuild when it changes.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/sobol_table.cpp PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/data/new-joe-kuo-6.21201.gz)
list(APPEND QEL_CPP_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_sobol_engine.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_hash.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_acquisition.cpp)
list(APPEND QEL_BENCHES ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_numerics.cpp)
