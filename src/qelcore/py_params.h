#pragma once
#include "qelbo/core/params.h"
#include "qelcore/py_kernel.h"

namespace qelcore {
// A new Python QELParams holding a copy of p (not validated again).
PyObject* new_qelparams(const qelbo::QELParams& p);
// The record inside a Python QELParams, or null when o is not one.
const qelbo::QELParams* qelparams_value(PyObject* o);
PyTypeObject* qelparams_type();

// The three arguments a QELParams is made from, converted but not yet checked, so
// that a caller converts all its arguments before the record's own checks run.
struct ParamsArgs {
    std::int32_t k;
    double epistemic;
    double aleatoric;
    qelbo::QELParams make() const { return qelbo::QELParams::make(k, epistemic, aleatoric); }
};
ParamsArgs to_params_args(PyObject* k_num_neighbors, PyObject* epistemic_variance_scale,
                          PyObject* aleatoric_variance_scale);
}  // namespace qelcore
