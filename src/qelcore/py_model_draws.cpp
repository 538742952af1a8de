// Vantorix methods: posterior function draws and the conditional (what-if) posterior.
#include "qelcore/py_model_draws.h"

#include <optional>
#include <vector>

#include "qelbo/conditional.h"
#include "qelbo/draw.h"
#include "qelbo/draw_compute.h"
#include "qelbo/model.h"
#include "qelbo/params.h"
#include "qelbo/posterior.h"

namespace qelcore {
namespace {

// Per-query neighbour lists as a Python list of lists of ints.
PyObject* neighbor_lists(const qelbo::IndexArray2& idx) {
    PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(idx.rows)));
    for (std::size_t i = 0; i < idx.rows; ++i) {
        PyRef inner = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(idx.cols)));
        for (std::size_t t = 0; t < idx.cols; ++t)
            PyList_SET_ITEM(inner.get(), static_cast<Py_ssize_t>(t), py_int(idx(i, t)));
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner.release());
    }
    return outer.release();
}

PyObject* array2(const qelbo::Array2& a) {
    const std::size_t shape[2] = {a.rows, a.cols};
    return new_f64_array(shape, a.data.data());
}

PyObject* index_array(const qelbo::IndexArray2& a) {
    const std::size_t shape[2] = {a.rows, a.cols};
    return new_i64_array(shape, a.data.data());
}

PyObject* draws_result(const qelbo::Array3& draws, const qelbo::IndexArray2& idx) {
    PyRef d = PyRef::steal(from_array3(draws));
    PyRef lists = PyRef::steal(neighbor_lists(idx));
    return py_tuple({d.release(), lists.release()});
}

bool optional_flag(PyObject* o, const char* name) { return is_absent(o) ? false : to_bool(o, name); }

qelbo::PosteriorFlags flags_of(PyObject* self, bool exclude_nearest, bool observation_noise) {
    return qelbo::PosteriorFlags{exclude_nearest, observation_noise, vantorix_tie_break(self)};
}

PyObject* posterior_function_draw(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(vantorix_borrow_flag(self));
        auto a = parse_args("posterior_function_draw",
                            {"x", "k_num_neighbors", "epistemic_variance_scale", "aleatoric_variance_scale",
                             "function_seeds", "exclude_nearest", "observation_noise"},
                            5, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        const std::int32_t k = to_i32(a[1], "k_num_neighbors");
        const double epi = to_f64(a[2], "epistemic_variance_scale");
        const double ale = to_f64(a[3], "aleatoric_variance_scale");
        const std::vector<std::int64_t> seeds = to_i64_list(a[4], "function_seeds");
        const bool exclude = optional_flag(a[5], "exclude_nearest");
        const bool noise = optional_flag(a[6], "observation_noise");
        const qelbo::QELParams params = qelbo::QELParams::make(k, epi, ale);
        const qelbo::FunctionDraws fd = qelbo::posterior_function_draw(
            *vantorix_value(self), qelbo::as_matview(x.view2()), params, seeds, flags_of(self, exclude, noise));
        return draws_result(fd.draws, fd.neighbor_indices);
    });
}


PyObject* conditional_posterior(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(vantorix_borrow_flag(self));
        auto a = parse_args("conditional_posterior",
                            {"x_whatif", "y_whatif", "x", "k_num_neighbors", "epistemic_variance_scale",
                             "aleatoric_variance_scale", "exclude_nearest", "observation_noise"},
                            6, args, kwargs);
        F64Array xw = to_f64_array(a[0], "x_whatif", 2);
        F64Array yw = to_f64_array(a[1], "y_whatif", 2);
        F64Array x = to_f64_array(a[2], "x", 2);
        const std::int32_t k = to_i32(a[3], "k_num_neighbors");
        const double epi = to_f64(a[4], "epistemic_variance_scale");
        const double ale = to_f64(a[5], "aleatoric_variance_scale");
        const bool exclude = optional_flag(a[6], "exclude_nearest");
        const bool noise = optional_flag(a[7], "observation_noise");
        const qelbo::QELParams params = qelbo::QELParams::make(k, epi, ale);
        const qelbo::DrawInternals in = qelbo::compute_conditional_posterior_internals(
            *vantorix_value(self), qelbo::as_matview(x.view2()), qelbo::as_matview(xw.view2()),
            qelbo::as_matview(yw.view2()), params, flags_of(self, exclude, noise));
        PyRef mean = PyRef::steal(array2(in.mean));
        PyRef se = PyRef::steal(array2(in.total_std));
        PyRef epistemic = PyRef::steal(array2(in.epistemic_std));
        PyRef aleatoric = PyRef::steal(array2(in.aleatoric_std));
        PyRef idx = PyRef::steal(index_array(qelbo::idx_nested_to_array2(in.neighbor_indices)));
        return py_tuple({mean.release(), se.release(), epistemic.release(), aleatoric.release(), idx.release()});
    });
}

PyObject* conditional_posterior_function_draw(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(vantorix_borrow_flag(self));
        auto a = parse_args("conditional_posterior_function_draw",
                            {"x_whatif", "y_whatif", "x", "k_num_neighbors", "epistemic_variance_scale",
                             "aleatoric_variance_scale", "function_seeds", "exclude_nearest", "observation_noise"},
                            7, args, kwargs);
        F64Array xw = to_f64_array(a[0], "x_whatif", 2);
        F64Array yw = to_f64_array(a[1], "y_whatif", 2);
        F64Array x = to_f64_array(a[2], "x", 2);
        const std::int32_t k = to_i32(a[3], "k_num_neighbors");
        const double epi = to_f64(a[4], "epistemic_variance_scale");
        const double ale = to_f64(a[5], "aleatoric_variance_scale");
        const std::vector<std::int64_t> seeds = to_i64_list(a[6], "function_seeds");
        const bool exclude = optional_flag(a[7], "exclude_nearest");
        const bool noise = optional_flag(a[8], "observation_noise");
        const qelbo::QELParams params = qelbo::QELParams::make(k, epi, ale);
        const qelbo::Vantorix& model = *vantorix_value(self);
        const qelbo::DrawInternals in = qelbo::compute_conditional_posterior_internals(
            model, qelbo::as_matview(x.view2()), qelbo::as_matview(xw.view2()), qelbo::as_matview(yw.view2()), params,
            flags_of(self, exclude, noise));
        const qelbo::Array3 draws = qelbo::draw_from_internals(model.num_metrics(), in, seeds);
        return draws_result(draws, in.neighbor_indices);
    });
}

}  // namespace

PyMethodDef g_vantorix_draw_methods[] = {
    {"posterior_function_draw", kw_cast(posterior_function_draw), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("posterior_function_draw",
             "($self, x, k_num_neighbors, epistemic_variance_scale, aleatoric_variance_scale, function_seeds, "
             "exclude_nearest=False, observation_noise=False)",
             "Posterior function draw - sample from posterior predictive.")},
    {"conditional_posterior", kw_cast(conditional_posterior), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("conditional_posterior",
             "($self, x_whatif, y_whatif, x, k_num_neighbors, epistemic_variance_scale, aleatoric_variance_scale, "
             "exclude_nearest=False, observation_noise=False)",
             "Conditional posterior with what-if scenarios.")},
    {"conditional_posterior_function_draw", kw_cast(conditional_posterior_function_draw), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("conditional_posterior_function_draw",
             "($self, x_whatif, y_whatif, x, k_num_neighbors, epistemic_variance_scale, aleatoric_variance_scale, "
             "function_seeds, exclude_nearest=False, observation_noise=False)",
             "Conditional posterior function draw.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qelcore
