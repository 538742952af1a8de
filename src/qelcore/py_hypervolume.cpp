// Submodule `hypervolume`: the 2-D hypervolume.
#include "qelbo/numerics/hypervolume.h"
#include "qelcore/py_kernel.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

PyObject* py_hypervolume_2d_max(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("hypervolume_2d_max", {"y", "ref_point"}, 2, args, kwargs);
        const F64Array y_arg = to_f64_array(a[0], "y", 2);
        const F64Array ref_arg = to_f64_array(a[1], "ref_point", 1);
        // Own copies, so other threads may write the arrays while the lock is released.
        const qelbo::Array2 y = y_arg.to_array2();
        const std::vector<double> ref = ref_arg.to_vector();
        double hv = 0.0;
        {
            GilRelease nogil;
            hv = qelbo::hypervolume_2d_max(y, ref);
        }
        return py_float(hv);
    });
}

PyMethodDef g_hypervolume_def = {
    "hypervolume_2d_max", kw_cast(py_hypervolume_2d_max), METH_VARARGS | METH_KEYWORDS,
    QEL_DOC("hypervolume_2d_max", "(y, ref_point)", "Python wrapper for hypervolume_2d_max")};

}  // namespace

int register_hypervolume(PyObject* module) {
    return guarded_int([&] {
        add_function(module, &g_hypervolume_def);
        return 0;
    });
}

}  // namespace qelcore
