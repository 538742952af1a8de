# Errors, parameter records, number formatting.
list(APPEND QELBO_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/error.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/format.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelbo/params.cpp)
list(APPEND QEL_CPP_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_errors_params.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/test_build_flags.cpp)
