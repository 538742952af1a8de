# The Python extension: kernel, module frame and one file per area.
list(APPEND QELCORE_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_kernel.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/module.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_params.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_hypervolume.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_hash.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_util.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_model.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_fit.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/qelcore/py_optimizer.cpp)
