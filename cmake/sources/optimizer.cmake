# Optimizer: configuration, trust regions, incumbent tracker, candidates, ask/tell.
list(APPEND QELBO_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/config.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/trust_region.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/morbo_trust_region.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/incumbent_tracker.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/candidates.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/strategy.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/optimizer.cpp)
list(APPEND QEL_CPP_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_optimizer_parts.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_optimizer.cpp)
