// The optimizer submodule: the Optimizer and Telemetry classes and the three
// creation functions with their config_overrides dict.
#include <string>

#include "qelbo/optimizer/config.h"
#include "qelbo/optimizer/optimizer.h"
#include "base/std_rng.h"
#include "qelcore/py_kernel.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

using OptimizerBox = Box<qelbo::Optimizer>;
using TelemetryBox = Box<qelbo::Telemetry>;
PyTypeObject* g_telemetry_type = nullptr;
PyTypeObject* g_optimizer_type = nullptr;

// ---------------------------------------------------------------------------
// Telemetry

template <double qelbo::Telemetry::*Field>
PyObject* telemetry_seconds(PyObject* self, void*) {
    return guarded([&] {
        auto* box = unbox<qelbo::Telemetry>(self);
        SharedBorrow borrow(box->flag);
        return py_float(box->value->*Field);
    });
}

PyObject* telemetry_num_candidates(PyObject* self, void*) {
    return guarded([&] {
        auto* box = unbox<qelbo::Telemetry>(self);
        SharedBorrow borrow(box->flag);
        return py_uint(box->value->num_candidates);
    });
}

PyGetSetDef g_telemetry_getset[] = {
    {"dt_fit", telemetry_seconds<&qelbo::Telemetry::dt_fit>, nullptr, nullptr, nullptr},
    {"dt_gen", telemetry_seconds<&qelbo::Telemetry::dt_gen>, nullptr, nullptr, nullptr},
    {"dt_sel", telemetry_seconds<&qelbo::Telemetry::dt_sel>, nullptr, nullptr, nullptr},
    {"dt_tell", telemetry_seconds<&qelbo::Telemetry::dt_tell>, nullptr, nullptr, nullptr},
    {"num_candidates", telemetry_num_candidates, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_telemetry_slots[] = {
    {Py_tp_doc, const_cast<char*>("Telemetry data structure for Python")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<qelbo::Telemetry>)},
    {Py_tp_getset, g_telemetry_getset},
    {0, nullptr},
};

PyType_Spec g_telemetry_spec = {"Telemetry", sizeof(TelemetryBox), 0, Py_TPFLAGS_DEFAULT, g_telemetry_slots};

// ---------------------------------------------------------------------------
// Optimizer methods

qelbo::Optimizer& opt_of(PyObject* self) { return *unbox<qelbo::Optimizer>(self)->value; }
BorrowFlag& flag_of(PyObject* self) { return unbox<qelbo::Optimizer>(self)->flag; }

PyObject* opt_ask(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        ExclusiveBorrow borrow(flag_of(self));
        auto a = parse_args("ask", {"num_arms", "seed"}, 2, args, kwargs);
        const std::uint64_t num_arms = to_u64(a[0], "num_arms");
        const std::uint64_t seed = to_u64(a[1], "seed");
        return from_array2(opt_of(self).ask(num_arms, seed));
    });
}

PyObject* opt_tell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        ExclusiveBorrow borrow(flag_of(self));
        auto a = parse_args("tell", {"x", "y", "seed"}, 3, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        F64Array y = to_f64_array(a[1], "y", 2);
        const std::uint64_t seed = to_u64(a[2], "seed");
        opt_of(self).tell(x.view2(), y.view2(), seed);
        Py_RETURN_NONE;
    });
}

PyObject* opt_init_progress(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(flag_of(self));
        const auto progress = opt_of(self).strategy.init_progress();
        if (!progress) Py_RETURN_NONE;
        return py_tuple({py_uint(progress->first), py_uint(progress->second)});
    });
}

PyObject* opt_telemetry(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag_of(self));
        qelbo::Telemetry copy = opt_of(self).telemetry;
        return box_new(g_telemetry_type, std::move(copy));
    });
}

PyObject* opt_tr_obs_count(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag_of(self));
        return py_uint(opt_of(self).tr_obs_count());
    });
}

PyObject* opt_tr_length(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag_of(self));
        return py_float(opt_of(self).tr_length());
    });
}

PyObject* array2_or_none(const std::optional<qelbo::Array2>& m) {
    if (!m) Py_RETURN_NONE;
    return from_array2(*m);
}

PyObject* opt_x_obs(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag_of(self));
        return array2_or_none(opt_of(self).x_obs());
    });
}

PyObject* opt_y_obs(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag_of(self));
        return array2_or_none(opt_of(self).y_obs());
    });
}

PyObject* opt_incumbent_x_unit(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(flag_of(self));
        const auto& x = opt_of(self).incumbent_x;
        if (!x) Py_RETURN_NONE;
        return from_vector(*x);
    });
}

PyObject* opt_bounds(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag_of(self));
        return from_array2(opt_of(self).bounds);
    });
}

PyMethodDef g_optimizer_methods[] = {
    {"ask", kw_cast(opt_ask), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("ask", "($self, num_arms, seed)", "Ask for candidate points")},
    {"tell", kw_cast(opt_tell), METH_VARARGS | METH_KEYWORDS, QEL_DOC("tell", "($self, x, y, seed)", "Tell observations")},
    {"init_progress", opt_init_progress, METH_NOARGS,
     QEL_DOC("init_progress", "($self)", "Get init progress if in initialization phase")},
    {"telemetry", opt_telemetry, METH_NOARGS, QEL_DOC("telemetry", "($self)", "Get current telemetry")},
    {"tr_obs_count", opt_tr_obs_count, METH_NOARGS,
     QEL_DOC("tr_obs_count", "($self)", "Number of retained trust-region observations.")},
    {"tr_length", opt_tr_length, METH_NOARGS, QEL_DOC("tr_length", "($self)", "Current trust-region length.")},
    {"x_obs", opt_x_obs, METH_NOARGS, QEL_DOC("x_obs", "($self)", "Get observations x in unit space (if any).")},
    {"y_obs", opt_y_obs, METH_NOARGS, QEL_DOC("y_obs", "($self)", "Get observation values y (if any).")},
    {"incumbent_x_unit", opt_incumbent_x_unit, METH_NOARGS,
     QEL_DOC("incumbent_x_unit", "($self)", "Get incumbent x in unit space (if any).")},
    {"bounds", opt_bounds, METH_NOARGS, QEL_DOC("bounds", "($self)", "Get optimizer bounds.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_optimizer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Optimizer")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<qelbo::Optimizer>)},
    {Py_tp_methods, g_optimizer_methods},
    {0, nullptr},
};

PyType_Spec g_optimizer_spec = {"Optimizer", sizeof(OptimizerBox), 0, Py_TPFLAGS_DEFAULT, g_optimizer_slots};

// ---------------------------------------------------------------------------
// config_overrides

// Dict values convert like arguments, but their TypeError carries no argument prefix.
template <class F>
auto dict_value(const char* key, F convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PyRaise& e) {
        const std::string prefix = std::string("argument '") + key + "': ";
        if (e.type == PyExc_TypeError && e.message.rfind(prefix, 0) == 0) e.message.erase(0, prefix.size());
        throw;
    }
}

// The item under key, or an empty reference when the dict has none. The reference is
// owned: converting a value may run Python code that removes it from the dict.
PyRef lookup(PyObject* dict, const char* key) {
    note_python_may_run();  // a key of the caller's may compare equal through its own __eq__
    PyRef k = PyRef::steal(PyUnicode_FromString(key));
    PyObject* v = PyDict_GetItemWithError(dict, k.get());
    if (!v && PyErr_Occurred()) throw PyErrorSet{};
    return PyRef::borrow(v);
}

// str.lower itself, so that a str subclass cannot substitute its own method.
std::string lower_text(PyObject* str_obj) {
    PyRef lowered = PyRef::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", str_obj));
    return to_str(lowered.get(), "lower");
}

qelbo::ConfigOverrides read_overrides(PyObject* dict) {
    qelbo::ConfigOverrides o;
    auto str_of = [](const char* key, const PyRef& v) { return dict_value(key, [&] { return to_str(v.get(), key); }); };
    auto u64_of = [](const char* key, const PyRef& v) { return dict_value(key, [&] { return to_u64(v.get(), key); }); };
    auto f64_of = [](const char* key, const PyRef& v) { return dict_value(key, [&] { return to_f64(v.get(), key); }); };
    auto bool_of = [](const char* key, const PyRef& v) { return dict_value(key, [&] { return to_bool(v.get(), key); }); };

    if (PyRef v = lookup(dict, "index_driver")) {
        const std::string text = str_of("index_driver", v);
        const std::string word = lower_text(v.get());
        if (word == "flat" || word == "exact") {
            o.index_driver = qelbo::IndexDriver::Exact;
        } else if (word == "mirot_disk") {
            o.index_driver = qelbo::IndexDriver::MiRotDisk;
        } else {
            raise_value_error("Unknown index_driver: " + text);
        }
    }
    if (PyRef v = lookup(dict, "acquisition")) {
        const std::string text = str_of("acquisition", v);
        if (text == "ucb") {
            double beta = 2.0;
            if (PyRef b = lookup(dict, "acquisition_beta")) beta = f64_of("acquisition_beta", b);
            o.acquisition = qelbo::Acquisition::ucb(beta);
        } else if (text == "thompson") {
            o.acquisition = qelbo::Acquisition::thompson();
        } else if (text == "random") {
            o.acquisition = qelbo::Acquisition::random();
        } else if (text == "pareto") {
            o.acquisition = qelbo::Acquisition::pareto();
        } else {
            raise_value_error("Unknown acquisition: " + text);
        }
    }
    if (PyRef v = lookup(dict, "candidate_rv")) {
        const std::string text = str_of("candidate_rv", v);
        if (text == "sobol") {
            o.candidate_rv = qelbo::CandidateRv::Sobol;
        } else if (text == "uniform") {
            o.candidate_rv = qelbo::CandidateRv::Uniform;
        } else if (text == "raasp") {
            o.candidate_rv = qelbo::CandidateRv::Raasp;
        } else {
            raise_value_error("Unknown candidate_rv: " + text);
        }
    }
    if (PyRef v = lookup(dict, "trust_region")) o.trust_region = str_of("trust_region", v);
    if (PyRef v = lookup(dict, "num_metrics")) o.num_metrics = u64_of("num_metrics", v);
    if (PyRef v = lookup(dict, "alpha")) o.alpha = f64_of("alpha", v);
    if (PyRef v = lookup(dict, "rescalarize")) o.rescalarize = str_of("rescalarize", v);
    if (PyRef v = lookup(dict, "qel_storage")) {
        const std::string text = str_of("qel_storage", v);
        const std::string word = lower_text(v.get());
        if (word == "disk") {
            o.qel_storage = qelbo::StorageMode::Disk;
        } else if (word == "memory" || word == "inmemory" || word == "in_memory") {
            o.qel_storage = qelbo::StorageMode::Memory;
        } else {
            raise_value_error("Unknown qel_storage: " + text);
        }
    }
    if (PyRef v = lookup(dict, "work_dir")) o.work_dir = str_of("work_dir", v);
    if (PyRef v = lookup(dict, "num_candidates_factor")) o.num_candidates_factor = f64_of("num_candidates_factor", v);
    if (PyRef v = lookup(dict, "min_candidates")) o.min_candidates = u64_of("min_candidates", v);
    if (PyRef v = lookup(dict, "max_candidates")) o.max_candidates = u64_of("max_candidates", v);
    if (PyRef v = lookup(dict, "num_candidates_per_arm")) o.num_candidates_per_arm = u64_of("num_candidates_per_arm", v);
    if (PyRef v = lookup(dict, "length_init")) o.length_init = f64_of("length_init", v);
    if (PyRef v = lookup(dict, "length_min")) o.length_min = f64_of("length_min", v);
    if (PyRef v = lookup(dict, "length_max")) o.length_max = f64_of("length_max", v);
    if (PyRef v = lookup(dict, "num_fit_samples")) o.num_fit_samples = u64_of("num_fit_samples", v);
    if (PyRef v = lookup(dict, "num_fit_candidates")) o.num_fit_candidates = u64_of("num_fit_candidates", v);
    if (PyRef v = lookup(dict, "noise_aware")) o.noise_aware = bool_of("noise_aware", v);
    if (PyRef v = lookup(dict, "scale_x")) o.scale_x = bool_of("scale_x", v);
    return o;
}

// ---------------------------------------------------------------------------
// Creation

enum class Variant { Qel, Zero, Lhd };

PyObject* create_optimizer(Variant variant, PyObject* args, PyObject* kwargs) {
    const bool qel = variant == Variant::Qel;
    const char* fname = qel ? "create_optimizer_qel" : variant == Variant::Zero ? "create_optimizer_zero"
                                                                                : "create_optimizer_lhd";
    auto a = qel ? parse_args(fname, {"bounds", "k", "num_init", "seed", "config_overrides"}, 1, args, kwargs)
                 : parse_args(fname, {"bounds", "num_init", "seed", "config_overrides"}, 1, args, kwargs);
    std::size_t at = 0;
    F64Array bounds = to_f64_array(a[at++], "bounds", 2);
    std::int32_t k = 10;
    if (qel) {
        PyObject* k_obj = a[at++];
        if (k_obj) k = to_i32(k_obj, "k");
    }
    PyObject* num_init_obj = a[at++];
    const std::uint64_t num_init = num_init_obj ? to_u64(num_init_obj, "num_init") : 10;
    PyObject* seed_obj = a[at++];
    const std::uint64_t seed = seed_obj ? to_u64(seed_obj, "seed") : 42;
    PyObject* overrides_obj = a[at++];
    PyObject* dict = is_absent(overrides_obj) ? nullptr : to_dict(overrides_obj, "config_overrides");

    qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(seed);
    std::optional<qelbo::ConfigOverrides> overrides;
    if (dict) {
        overrides = read_overrides(dict);
        overrides->validate();
    }
    qelbo::Array2 owned_bounds = bounds.to_array2();
    qelbo::OptimizerConfig config = qel ? qelbo::OptimizerConfig::turbo_qel(k)
                                    : variant == Variant::Zero ? qelbo::OptimizerConfig::turbo_zero()
                                                               : qelbo::OptimizerConfig::lhd_only();
    if (overrides) config = overrides->apply_to(std::move(config));
    qelbo::validate_config(config);
    const qelbo::StrategyState strategy = variant == Variant::Lhd
                                              ? qelbo::StrategyState::init_only(num_init)
                                              : qelbo::StrategyState::init_then_trust_region(num_init);
    qelbo::Optimizer opt =
        qelbo::Optimizer::new_with_strategy(std::move(owned_bounds), std::move(config), strategy, rng);
    return box_new(g_optimizer_type, std::move(opt));
}

PyObject* create_optimizer_qel(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return create_optimizer(Variant::Qel, args, kwargs); });
}
PyObject* create_optimizer_zero(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return create_optimizer(Variant::Zero, args, kwargs); });
}
PyObject* create_optimizer_lhd(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return create_optimizer(Variant::Lhd, args, kwargs); });
}

PyMethodDef g_defs[] = {
    {"create_optimizer_qel", kw_cast(create_optimizer_qel), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("create_optimizer_qel", "(bounds, k=10, num_init=10, seed=42, config_overrides=None)",
             "Create TuRBO-QEL optimizer")},
    {"create_optimizer_zero", kw_cast(create_optimizer_zero), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("create_optimizer_zero", "(bounds, num_init=10, seed=42, config_overrides=None)",
             "Create TuRBO-ZERO optimizer")},
    {"create_optimizer_lhd", kw_cast(create_optimizer_lhd), METH_VARARGS | METH_KEYWORDS,
     QEL_DOC("create_optimizer_lhd", "(bounds, num_init=10, seed=42, config_overrides=None)",
             "Create LHD-only optimizer")},
};

}  // namespace

int register_optimizer(PyObject* module) {
    return guarded_int([&] {
        g_optimizer_type = add_type(module, &g_optimizer_spec);
        g_telemetry_type = add_type(module, &g_telemetry_spec);
        for (PyMethodDef& def : g_defs) add_function(module, &def);
        return 0;
    });
}

}  // namespace qelcore
