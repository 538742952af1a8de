// Submodule `util`: standardisation, Pareto fronts, Sobol indices and
// sequences, arm selection, the configuration file.
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "qelbo/model/config_file.h"
#include "qelbo/optimizer/acquisition.h"
#include "qelbo/numerics/sobol_engine.h"
#include "qelbo/numerics/sobol_indices.h"
#include "qelbo/numerics/util.h"
#include "qelcore/py_kernel.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

// The order in which the core sums y follows the array's memory layout.
qelbo::SumLayout sum_layout(const F64Array& y) {
    if (y.dim(0) <= 1) return qelbo::SumLayout::Contiguous;
    const npy_intp stride = y.strides()[0];
    if (stride == static_cast<npy_intp>(sizeof(double))) return qelbo::SumLayout::Contiguous;
    if (stride == -static_cast<npy_intp>(sizeof(double))) return qelbo::SumLayout::Reversed;
    return qelbo::SumLayout::Strided;
}

PyObject* py_standardize_y(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("standardize_y", {"y"}, 1, args, kwargs);
        const F64Array y_arg = to_f64_array(a[0], "y", 1);
        const qelbo::SumLayout layout = sum_layout(y_arg);
        const std::vector<double> y = y_arg.to_vector();
        std::pair<double, double> r;
        {
            GilRelease nogil;
            r = qelbo::standardize_y(y, layout);
        }
        return py_tuple({py_float(r.first), py_float(r.second)});
    });
}

PyObject* py_pareto_front_2d_maximize(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("pareto_front_2d_maximize", {"a", "b", "idx"}, 2, args, kwargs);
        const F64Array a_arg = to_f64_array(a[0], "a", 1);
        const F64Array b_arg = to_f64_array(a[1], "b", 1);
        std::optional<I64Array> idx_arg;
        if (!is_absent(a[2])) idx_arg = to_i64_array(a[2], "idx", 1);
        const std::size_t n = a_arg.dim(0);
        if (n != b_arg.dim(0)) {
            raise_value_error("a and b must have same length, got " + std::to_string(n) + " and " +
                              std::to_string(b_arg.dim(0)));
        }
        const std::vector<double> av = a_arg.to_vector();
        const std::vector<double> bv = b_arg.to_vector();
        std::optional<std::vector<std::size_t>> positions;
        if (idx_arg) {
            positions.emplace();
            positions->reserve(idx_arg->dim(0));
            for (std::int64_t e : idx_arg->to_vector()) {
                if (e < 0) raise_value_error("idx entry " + std::to_string(e) + " is negative");
                if (static_cast<std::uint64_t>(e) >= n) {
                    raise_value_error("idx entry " + std::to_string(e) + " is out of bounds for length " +
                                      std::to_string(n));
                }
                positions->push_back(static_cast<std::size_t>(e));
            }
        }
        auto considered_finite = [&](std::size_t p) { return std::isfinite(av[p]) && std::isfinite(bv[p]); };
        bool finite = true;
        if (positions) {
            for (std::size_t p : *positions) finite = finite && considered_finite(p);
        } else {
            for (std::size_t p = 0; p < n; ++p) finite = finite && considered_finite(p);
        }
        if (!finite) raise_value_error("a and b must be finite");
        std::vector<std::size_t> front;
        {
            GilRelease nogil;
            front = qelbo::pareto_front_2d_maximize(av, bv, positions);
        }
        const std::vector<std::uint64_t> out(front.begin(), front.end());
        const std::size_t shape[1] = {out.size()};
        return new_u64_array(shape, out.data());
    });
}

PyObject* py_calculate_sobol_indices(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("calculate_sobol_indices", {"x", "y"}, 2, args, kwargs);
        const F64Array x_arg = to_f64_array(a[0], "x", 2);
        const F64Array y_arg = to_f64_array(a[1], "y", 1);
        const qelbo::Array2 x = x_arg.to_array2();
        const std::vector<double> y = y_arg.to_vector();
        std::vector<double> out;
        {
            GilRelease nogil;
            out = qelbo::calculate_sobol_indices(x, y);
        }
        return from_vector(out);
    });
}

PyObject* py_sobol_sequence(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("sobol_sequence", {"dimension", "num_points", "seed"}, 2, args, kwargs);
        const std::uint64_t dimension = to_u64(a[0], "dimension");
        const std::uint64_t num_points = to_u64(a[1], "num_points");
        if (a[2] != nullptr) (void)to_u64(a[2], "seed");  // accepted for compatibility; the sequence has no seed
        qelbo::SobolEngine engine(static_cast<std::size_t>(dimension));
        const std::size_t total = qelbo::checked_size(static_cast<std::size_t>(num_points), engine.dims());
        if (total > PTRDIFF_MAX / sizeof(double)) throw std::bad_alloc();
        std::vector<double> out(total, 0.0);
        for (std::size_t r = 0; r < num_points; ++r) {
            if (!engine.next_into(out.data() + r * engine.dims())) {
                throw qelbo::QELError::invalid_parameter("Sobol sequence exhausted");
            }
        }
        const std::size_t shape[2] = {static_cast<std::size_t>(num_points), engine.dims()};
        return new_f64_array(shape, out.data());
    });
}

PyObject* py_arms_from_pareto_fronts(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("arms_from_pareto_fronts", {"x_cand", "mu", "se", "num_arms", "seed"}, 5, args, kwargs);
        const F64Array x_arg = to_f64_array(a[0], "x_cand", 2);
        const F64Array mu_arg = to_f64_array(a[1], "mu", 1);
        const F64Array se_arg = to_f64_array(a[2], "se", 1);
        const std::uint64_t num_arms = to_u64(a[3], "num_arms");
        const std::uint64_t seed = to_u64(a[4], "seed");
        const std::size_t rows = x_arg.dim(0), cols = x_arg.dim(1);
        if (rows != mu_arg.dim(0) || rows != se_arg.dim(0)) {
            raise_value_error("shape mismatch: x_cand rows " + std::to_string(rows) + ", mu " +
                              std::to_string(mu_arg.dim(0)) + ", se " + std::to_string(se_arg.dim(0)));
        }
        const std::vector<double> mu = mu_arg.to_vector();
        const std::vector<double> se = se_arg.to_vector();
        std::vector<std::size_t> chosen;
        {
            GilRelease nogil;
            chosen = qelbo::arms_from_pareto_fronts(mu, se, num_arms, seed);
        }
        // Other threads ran while the lock was released and may have reshaped x_cand.
        if (x_arg.dim(0) != rows || x_arg.dim(1) != cols) {
            raise_value_error("shape mismatch: x_cand rows " + std::to_string(x_arg.dim(0)) + ", mu " +
                              std::to_string(mu.size()) + ", se " + std::to_string(se.size()));
        }
        qelbo::Array2 out(chosen.size(), cols);
        for (std::size_t r = 0; r < chosen.size(); ++r) {
            for (std::size_t j = 0; j < cols; ++j) out(r, j) = x_arg.at(chosen[r], j);
        }
        return from_array2(out);
    });
}

PyObject* py_set_config_path(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("set_config_path", {"path"}, 0, args, kwargs);
        std::optional<std::string> path;
        if (!is_absent(a[0])) path = to_str(a[0], "path");
        // The file system would see only the part before the NUL: another file than the one named.
        if (path && path->find('\0') != std::string::npos) raise_value_error("path contains a NUL byte");
        qelbo::set_config_path_override(std::move(path));
        qelbo::install_mirot_tuning_from_config();
        Py_RETURN_NONE;
    });
}

PyObject* py_ensure_config_file(PyObject*, PyObject*) {
    return guarded([&] {
        qelbo::install_mirot_tuning_from_config();
        const std::string path = qelbo::Config::path();
        (void)qelbo::Config::load(path);
        // Paths are bytes; invalid UTF-8 comes back with U+FFFD in its place.
        PyObject* out = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
        if (!out) throw PyErrorSet();
        return out;
    });
}

PyMethodDef g_defs[] = {
    {"standardize_y", kw_cast(py_standardize_y), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("standardize_y", "(y)", "Python wrapper for standardize_y")},
    {"pareto_front_2d_maximize", kw_cast(py_pareto_front_2d_maximize), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("pareto_front_2d_maximize", "(a, b, idx=None)", "Python wrapper for pareto_front_2d_maximize")},
    {"calculate_sobol_indices", kw_cast(py_calculate_sobol_indices), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("calculate_sobol_indices", "(x, y)", "Python wrapper for calculate_sobol_indices")},
    {"sobol_sequence", kw_cast(py_sobol_sequence), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("sobol_sequence", "(dimension, num_points, seed=0)",
             "Python helper for deterministic Sobol sequence generation.")},
    {"arms_from_pareto_fronts", kw_cast(py_arms_from_pareto_fronts), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("arms_from_pareto_fronts", "(x_cand, mu, se, num_arms, seed)",
             "Python wrapper for arms_from_pareto_fronts (returns selected candidate rows).")},
    {"set_config_path", kw_cast(py_set_config_path), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("set_config_path", "(path=None)", "Override qelbo config path (`None` restores `~/.qelbo/config.toml`).")},
    {"ensure_config_file", py_ensure_config_file, METH_NOARGS,
     QEL_DOC("ensure_config_file", "()", "Ensure `~/.qelbo/config.toml` (or override) exists and return its path.")},
};

}  // namespace

int register_util(PyObject* module) {
    return guarded_int([&] {
        for (PyMethodDef& def : g_defs) add_function(module, &def);
        return 0;
    });
}

}  // namespace qelcore
