#include "qelcore/py_kernel.h"
#include "qelcore/registry.h"

namespace qelcore {

int register_util(PyObject* module) {
    (void)module;
    return 0;
}

}  // namespace qelcore
