#pragma once
#include "qelbo/params.h"
#include "qelcore/py_kernel.h"

namespace qelcore {
// A new Python QELParams holding a copy of p (not validated again).
PyObject* new_qelparams(const qelbo::QELParams& p);
// The record inside a Python QELParams, or null when o is not one.
const qelbo::QELParams* qelparams_value(PyObject* o);
PyTypeObject* qelparams_type();
}  // namespace qelcore
