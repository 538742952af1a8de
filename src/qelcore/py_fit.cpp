// The fit submodule: the QELStatefulFitter class and subsample_loglik.
#include <optional>
#include <string>
#include <vector>

#include "qelbo/fit/fit.h"
#include "qelbo/fit/fitter.h"
#include "qelbo/core/params.h"
#include "base/std_rng.h"
#include "qelcore/py_kernel.h"
#include "qelcore/py_model_draws.h"
#include "qelcore/py_params.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

// The fitter and the generator it keeps across asks.
struct StatefulFitter {
    qelbo::QELFitter fitter;
    qelbo::StdRng rng;
};

using FitterBox = Box<StatefulFitter>;

// "ndarray", not "numpy.ndarray": conversion errors name the bare type.
const char* short_type_name(PyObject* o) { return _PyType_Name(Py_TYPE(o)); }

// A Vantorix argument with its shared borrow held for the call.
struct ModelArg {
    const qelbo::Vantorix* model;
    std::optional<SharedBorrow> borrow;
};

void model_arg(PyObject* o, ModelArg& out) {
    out.model = vantorix_value(o);
    if (!out.model)
        raise(PyExc_TypeError, std::string("argument 'model': '") + short_type_name(o) +
                                   "' object cannot be converted to 'Vantorix'");
    out.borrow.emplace(vantorix_borrow_flag(o));
}

PyObject* fitter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("QELStatefulFitter", {"k", "seed", "infer_aleatoric_variance_scale"}, 2, args, kwargs);
        const std::int32_t k = to_i32(a[0], "k");
        const std::uint64_t seed = to_u64(a[1], "seed");
        const bool infer = to_bool_or(a[2], "infer_aleatoric_variance_scale", true);
        return box_new(type, StatefulFitter{qelbo::QELFitter(k, infer), qelbo::StdRng::seed_from_u64(seed)});
    });
}

PyObject* fitter_tell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto* box = unbox<StatefulFitter>(self);
        ExclusiveBorrow borrow(box->flag);
        auto a = parse_args("tell", {"x", "y", "yvar"}, 2, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        F64Array y = to_f64_array(a[1], "y", 2);
        std::optional<F64Array> yvar = to_optional_f64_array(a[2], "yvar", 2);
        box->value->fitter.tell(x.view2(), y.view2(), optional_view2(yvar));
        Py_RETURN_NONE;
    });
}

PyObject* fitter_y_std(PyObject* self, PyObject*) {
    return guarded([&] {
        auto* box = unbox<StatefulFitter>(self);
        SharedBorrow borrow(box->flag);
        return from_vector(box->value->fitter.y_std());
    });
}

PyObject* fitter_ask(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto* box = unbox<StatefulFitter>(self);
        ExclusiveBorrow borrow(box->flag);
        auto a = parse_args("ask", {"model", "num_fit_candidates", "num_fit_samples", "params_warm_start"}, 3, args,
                            kwargs);
        ModelArg model;
        model_arg(a[0], model);
        const std::uint64_t c = to_u64(a[1], "num_fit_candidates");
        const std::uint64_t p = to_u64(a[2], "num_fit_samples");
        std::optional<qelbo::QELParams> warm;
        if (!is_absent(a[3])) {
            const qelbo::QELParams* w = qelparams_value(a[3]);
            if (!w)
                raise(PyExc_TypeError, std::string("argument 'params_warm_start': '") + short_type_name(a[3]) +
                                           "' object cannot be converted to 'QELParams'");
            warm = *w;
        }
        StatefulFitter& state = *box->value;
        const qelbo::QELParams chosen = state.fitter.ask(*model.model, c, p, warm, state.rng);
        return new_qelparams(chosen);
    });
}

PyObject* subsample_loglik(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("subsample_loglik",
                            {"model", "x", "y", "k_values", "epistemic_scales", "aleatoric_scales", "p", "seed", "y_std"},
                            8, args, kwargs);
        ModelArg model;
        model_arg(a[0], model);
        F64Array x = to_f64_array(a[1], "x", 2);
        F64Array y = to_f64_array(a[2], "y", 2);
        const std::vector<std::int32_t> ks = to_i32_list(a[3], "k_values");
        const std::vector<double> epi = to_f64_list(a[4], "epistemic_scales");
        const std::vector<double> ale = to_f64_list(a[5], "aleatoric_scales");
        const std::uint64_t p = to_u64(a[6], "p");
        const std::uint64_t seed = to_u64(a[7], "seed");
        std::optional<F64Array> y_std_arr;
        std::optional<std::span<const double>> y_std;
        if (!is_absent(a[8])) {
            y_std_arr = to_f64_array(a[8], "y_std", 1);
            y_std = y_std_arr->view1();
        }
        if (epi.size() != ks.size() || ale.size() != ks.size())
            raise_value_error("k_values, epistemic_scales, and aleatoric_scales must have same length");
        std::vector<qelbo::QELParams> records;
        records.reserve(ks.size());
        for (std::size_t i = 0; i < ks.size(); ++i) records.push_back(qelbo::QELParams::make(ks[i], epi[i], ale[i]));
        qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(seed);
        const std::vector<double> values = qelbo::subsample_loglik(
            *model.model, x.view2(), y.view2(), records, p, rng, y_std);
        return py_list_f64(values);
    });
}

PyMethodDef g_fitter_methods[] = {
    {"tell", kw_cast(fitter_tell), METH_VARARGS | METH_KEYWORDS, QEL_DOC("tell", "($self, x, y, yvar=None)", "")},
    {"y_std", fitter_y_std, METH_NOARGS, QEL_DOC("y_std", "($self)", "")},
    {"ask", kw_cast(fitter_ask), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("ask", "($self, model, num_fit_candidates, num_fit_samples, params_warm_start=None)", "")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_fitter_slots[] = {
    {Py_tp_doc, const_cast<char*>(QEL_DOC("QELStatefulFitter", "(k, seed, infer_aleatoric_variance_scale=True)", ""))},
    {Py_tp_new, reinterpret_cast<void*>(fitter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StatefulFitter>)},
    {Py_tp_methods, g_fitter_methods},
    {0, nullptr},
};

PyType_Spec g_fitter_spec = {"QELStatefulFitter", sizeof(FitterBox), 0, Py_TPFLAGS_DEFAULT, g_fitter_slots};

PyMethodDef g_subsample_loglik_def = {
    "subsample_loglik", kw_cast(subsample_loglik), METH_VARARGS | METH_KEYWORDS,
    QEL_DOC("subsample_loglik", "(model, x, y, k_values, epistemic_scales, aleatoric_scales, p, seed, y_std=None)",
            "Python wrapper for subsample_loglik")};

}  // namespace

int register_fit(PyObject* module) {
    return guarded_int([&] {
        add_type(module, &g_fitter_spec);
        add_function(module, &g_subsample_loglik_def);
        return 0;
    });
}

}  // namespace qelcore
