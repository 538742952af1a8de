// Submodule `hash`: batched hash-based standard normals.
#include "qelbo/numerics/hash.h"
#include "qelcore/py_kernel.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

PyObject* py_normal_hash_batch(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("normal_hash_batch_multi_seed_fast", {"function_seeds", "data_indices", "num_metrics"}, 3,
                            args, kwargs);
        const I64Array seeds_arg = to_i64_array(a[0], "function_seeds", 1);
        const I64Array idx_arg = to_i64_array(a[1], "data_indices", -1);
        const std::int64_t num_metrics = to_i64(a[2], "num_metrics");
        const std::vector<std::int64_t> seeds = seeds_arg.to_vector();
        const std::vector<std::int64_t> indices = idx_arg.to_vector();  // logical row-major order
        // The shape of the copy: another thread may reshape the array while the lock is released.
        std::vector<std::size_t> shape;
        shape.reserve(idx_arg.shape().size() + 2);
        shape.push_back(seeds.size());
        shape.insert(shape.end(), idx_arg.shape().begin(), idx_arg.shape().end());
        std::vector<double> out;
        {
            GilRelease nogil;
            out = qelbo::normal_hash_batch_multi_seed_fast(seeds, indices, num_metrics);
        }
        shape.push_back(static_cast<std::size_t>(num_metrics));
        return new_f64_array(shape, out.data());
    });
}

PyMethodDef g_hash_def = {
    "normal_hash_batch_multi_seed_fast", kw_cast(py_normal_hash_batch), METH_VARARGS | METH_KEYWORDS,
    QEL_DOC("normal_hash_batch_multi_seed_fast", "(function_seeds, data_indices, num_metrics)",
            "Python wrapper for normal_hash_batch_multi_seed_fast")};

}  // namespace

int register_hash(PyObject* module) {
    return guarded_int([&] {
        add_function(module, &g_hash_def);
        return 0;
    });
}

}  // namespace qelcore
