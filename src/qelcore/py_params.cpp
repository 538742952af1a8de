// The QELParams class: one validated hyper-parameter record, immutable.
#include "qelcore/py_params.h"

#include <structmember.h>

#include "qelbo/core/format.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

using ParamsBox = Box<qelbo::QELParams>;
PyTypeObject* g_params_type = nullptr;

PyObject* params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("QELParams", {"k_num_neighbors", "epistemic_variance_scale", "aleatoric_variance_scale"}, 3,
                            args, kwargs);
        return box_new(type, to_params_args(a[0], a[1], a[2]).make());
    });
}

PyObject* params_repr(PyObject* self) {
    return guarded([&] {
        auto* box = unbox<qelbo::QELParams>(self);
        SharedBorrow borrow(box->flag);
        const auto& p = *box->value;
        return py_str("QELParams(k=" + std::to_string(p.k_num_neighbors) +
                      ", epi=" + qelbo::format_f64(p.epistemic_variance_scale) +
                      ", ale=" + qelbo::format_f64(p.aleatoric_variance_scale) + ")");
    });
}

PyObject* get_k(PyObject* self, void*) {
    return guarded([&] {
        auto* box = unbox<qelbo::QELParams>(self);
        SharedBorrow borrow(box->flag);
        return py_int(box->value->k_num_neighbors);
    });
}

PyObject* get_epi(PyObject* self, void*) {
    return guarded([&] {
        auto* box = unbox<qelbo::QELParams>(self);
        SharedBorrow borrow(box->flag);
        return py_float(box->value->epistemic_variance_scale);
    });
}

PyObject* get_ale(PyObject* self, void*) {
    return guarded([&] {
        auto* box = unbox<qelbo::QELParams>(self);
        SharedBorrow borrow(box->flag);
        return py_float(box->value->aleatoric_variance_scale);
    });
}

PyGetSetDef g_getset[] = {
    {"k_num_neighbors", get_k, nullptr, nullptr, nullptr},
    {"epistemic_variance_scale", get_epi, nullptr, nullptr, nullptr},
    {"aleatoric_variance_scale", get_ale, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(QEL_DOC("QELParams", "(k_num_neighbors, epistemic_variance_scale, aleatoric_variance_scale)",
                                          "Wrapper for QELParams"))},
    {Py_tp_new, reinterpret_cast<void*>(params_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<qelbo::QELParams>)},
    {Py_tp_repr, reinterpret_cast<void*>(params_repr)},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {"QELParams", sizeof(ParamsBox), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

ParamsArgs to_params_args(PyObject* k_num_neighbors, PyObject* epistemic_variance_scale,
                          PyObject* aleatoric_variance_scale) {
    const std::int32_t k = to_i32(k_num_neighbors, "k_num_neighbors");
    const double epi = to_f64(epistemic_variance_scale, "epistemic_variance_scale");
    const double ale = to_f64(aleatoric_variance_scale, "aleatoric_variance_scale");
    return {k, epi, ale};
}

PyObject* new_qelparams(const qelbo::QELParams& p) {
    qelbo::expect(g_params_type != nullptr, "QELParams type registered");
    return box_new(g_params_type, qelbo::QELParams(p));
}

const qelbo::QELParams* qelparams_value(PyObject* o) {
    if (!g_params_type || !PyObject_TypeCheck(o, g_params_type)) return nullptr;
    return unbox<qelbo::QELParams>(o)->value;
}

PyTypeObject* qelparams_type() { return g_params_type; }

int register_qelparams(PyObject* module) {
    return guarded_int([&] {
        g_params_type = add_type(module, &g_spec);
        return 0;
    });
}

}  // namespace qelcore
