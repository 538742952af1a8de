// Vantorix methods: posterior function draws and the conditional (what-if) posterior.
#include "qelcore/py_model_draws.h"

#include <optional>
#include <vector>

#include "qelbo/fit/conditional.h"
#include "qelbo/fit/draw.h"
#include "qelbo/fit/draw_compute.h"
#include "qelbo/model/model.h"
#include "qelbo/core/params.h"
#include "qelbo/model/posterior.h"
#include "qelcore/py_params.h"

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

PyObject* draws_result(const qelbo::Array3& draws, const qelbo::IndexArray2& idx) {
    PyRef d = PyRef::steal(from_array3(draws));
    PyRef lists = PyRef::steal(neighbor_lists(idx));
    return py_tuple({d.release(), lists.release()});
}

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
        const ParamsArgs pa = to_params_args(a[1], a[2], a[3]);
        const std::vector<std::int64_t> seeds = to_i64_list(a[4], "function_seeds");
        const bool exclude = to_bool_or(a[5], "exclude_nearest", false);
        const bool noise = to_bool_or(a[6], "observation_noise", false);
        const qelbo::QELParams params = pa.make();
        const qelbo::FunctionDraws fd = qelbo::posterior_function_draw(
            *vantorix_value(self), x.view2(), params, seeds, flags_of(self, exclude, noise));
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
        const ParamsArgs pa = to_params_args(a[3], a[4], a[5]);
        const bool exclude = to_bool_or(a[6], "exclude_nearest", false);
        const bool noise = to_bool_or(a[7], "observation_noise", false);
        const qelbo::QELParams params = pa.make();
        return posterior_tuple(qelbo::normal_from_internals(qelbo::compute_conditional_posterior_internals(
            *vantorix_value(self), x.view2(), xw.view2(), yw.view2(), params, flags_of(self, exclude, noise))));
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
        const ParamsArgs pa = to_params_args(a[3], a[4], a[5]);
        const std::vector<std::int64_t> seeds = to_i64_list(a[6], "function_seeds");
        const bool exclude = to_bool_or(a[7], "exclude_nearest", false);
        const bool noise = to_bool_or(a[8], "observation_noise", false);
        const qelbo::QELParams params = pa.make();
        const qelbo::Vantorix& model = *vantorix_value(self);
        const qelbo::DrawInternals in = qelbo::compute_conditional_posterior_internals(
            model, x.view2(), xw.view2(), yw.view2(), params, flags_of(self, exclude, noise));
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
