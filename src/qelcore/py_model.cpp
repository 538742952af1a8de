// The Vantorix class: one neighbour model, its rows, its index and its queries.
#include <optional>
#include <string>
#include <vector>

#include "qelbo/model/batch_posterior.h"
#include "qelbo/model/disk_backend.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/model.h"
#include "qelbo/model/neighbor.h"
#include "qelbo/model/posterior.h"
#include "qelcore/py_kernel.h"
#include "qelcore/py_model_draws.h"
#include "qelcore/py_params.h"
#include "qelcore/registry.h"

namespace qelcore {
namespace {

struct VantorixObject {
    qelbo::Vantorix model;
    bool tie_break_neighbors = true;
};

using VantorixBox = Box<VantorixObject>;
PyTypeObject* g_vantorix_type = nullptr;

VantorixObject& native(PyObject* self) { return *unbox<VantorixObject>(self)->value; }
BorrowFlag& flag(PyObject* self) { return unbox<VantorixObject>(self)->flag; }

PyObject* row_array(const std::vector<double>& v) {
    const std::size_t shape[2] = {1, v.size()};
    return new_f64_array(shape, v.data());
}
PyObject* nd_array(const qelbo::NdArray& a) { return new_f64_array(a.shape, a.data.data()); }

// ---------------------------------------------------------------------------
// Construction, rows and storage

std::optional<qelbo::IndexDriver> parse_driver(const std::string& s) {
    if (s == "Exact" || s == "exact" || s == "FLAT" || s == "flat") return qelbo::IndexDriver::Exact;
    if (s == "MIROT_DISK" || s == "mirot_disk") return qelbo::IndexDriver::MiRotDisk;
    return std::nullopt;
}

std::optional<qelbo::StorageMode> parse_storage(const std::string& s) {
    if (s == "disk" || s == "Disk") return qelbo::StorageMode::Disk;
    if (s == "memory" || s == "InMemory" || s == "in_memory") return qelbo::StorageMode::Memory;
    return std::nullopt;
}

PyObject* vantorix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto a = parse_args("Vantorix",
                            {"train_x", "train_y", "train_yvar", "scale_x", "index_driver", "work_dir", "qel_storage"},
                            2, args, kwargs);
        F64Array x = to_f64_array(a[0], "train_x", 2);
        F64Array y = to_f64_array(a[1], "train_y", 2);
        const std::optional<F64Array> yvar = to_optional_f64_array(a[2], "train_yvar", 2);
        const bool scale_x = to_bool_or(a[3], "scale_x", false);
        const std::string driver_text = a[4] ? to_str(a[4], "index_driver") : std::string("Exact");
        std::optional<std::string> work_dir;
        if (!is_absent(a[5])) work_dir = to_str(a[5], "work_dir");
        std::optional<std::string> storage_text;
        if (!is_absent(a[6])) storage_text = to_str(a[6], "qel_storage");

        const auto driver = parse_driver(driver_text);
        if (!driver) raise_value_error("Unknown index_driver: " + driver_text);
        qelbo::StorageMode storage = work_dir ? qelbo::StorageMode::Disk : qelbo::StorageMode::Memory;
        if (storage_text) {
            const auto parsed = parse_storage(*storage_text);
            if (!parsed) raise_value_error("Unknown qel_storage: " + *storage_text);
            storage = *parsed;
        }
        std::optional<qelbo::Array2> yvar_copy;
        if (yvar) yvar_copy = yvar->to_array2();
        qelbo::Vantorix model = qelbo::Vantorix::new_with_storage(x.to_array2(), y.to_array2(), std::move(yvar_copy),
                                                                  scale_x, *driver, storage, std::move(work_dir));
        return box_new(type, VantorixObject{std::move(model), true});
    });
}

PyObject* vantorix_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        ExclusiveBorrow borrow(flag(self));
        auto a = parse_args("add", {"x", "y", "yvar"}, 2, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        F64Array y = to_f64_array(a[1], "y", 2);
        std::optional<F64Array> yvar = to_optional_f64_array(a[2], "yvar", 2);
        native(self).model.add(x.view2(), y.view2(), optional_view2(yvar));
        Py_RETURN_NONE;
    });
}

PyObject* vantorix_row_x(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("row_x", {"i"}, 1, args, kwargs);
        const std::uint64_t i = to_u64(a[0], "i");
        return row_array(native(self).model.backend().row_x(i));
    });
}

PyObject* vantorix_row_y(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("row_y", {"i"}, 1, args, kwargs);
        const std::uint64_t i = to_u64(a[0], "i");
        return row_array(native(self).model.backend().row_y(i));
    });
}

PyObject* vantorix_train_rows_at(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("train_rows_at", {"indices"}, 1, args, kwargs);
        const std::vector<std::uint64_t> idx = to_u64_list(a[0], "indices");
        const std::vector<std::size_t> rows(idx.begin(), idx.end());
        const qelbo::TrainRows tr = native(self).model.backend().train_rows_at(rows);
        PyRef x = PyRef::steal(from_array2(tr.x));
        PyRef y = PyRef::steal(from_array2(tr.y));
        PyRef yvar = tr.yvar ? PyRef::steal(from_array2(*tr.yvar)) : PyRef::borrow(Py_None);
        return py_tuple({x.release(), y.release(), yvar.release()});
    });
}

PyObject* vantorix_tie_break_neighbors(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        return py_bool(native(self).tie_break_neighbors);
    });
}

PyObject* vantorix_set_tie_break_neighbors(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("set_tie_break_neighbors", {"enabled"}, 0, args, kwargs);
        native(self).tie_break_neighbors = to_bool_or(a[0], "enabled", true);
        Py_RETURN_NONE;
    });
}

PyObject* vantorix_ensure_index_sync(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        native(self).model.ensure_index_sync();
        Py_RETURN_NONE;
    });
}

// In memory there is nothing to flush or persist.
PyObject* vantorix_schedule_background_flush(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        if (const qelbo::QelBackend::Disk* d = native(self).model.backend().disk()) (*d)->schedule_background_flush();
        Py_RETURN_NONE;
    });
}

PyObject* vantorix_persist_index_to_disk(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        if (const qelbo::QelBackend::Disk* d = native(self).model.backend().disk()) (*d)->persist_index_to_disk();
        Py_RETURN_NONE;
    });
}

PyObject* vantorix_index_memory_bytes(PyObject* self, PyObject*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        const qelbo::Vantorix& m = native(self).model;
        if (const qelbo::QelBackend::Disk* d = m.backend().disk()) {
            // The disk answer is the index files' sizes as they are; only a store that
            // cannot be read is synced first, which reports why.
            try {
                (*d)->read();
            } catch (const qelbo::CoreError&) {
                m.ensure_index_sync();
            }
        } else {
            m.ensure_index_sync();
        }
        return py_uint(m.backend().index_memory_bytes());
    });
}

PyObject* get_num_outputs(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        return py_uint(native(self).model.num_metrics());
    });
}
PyObject* get_num_dim(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        return py_uint(native(self).model.num_dim());
    });
}
PyObject* get_scale_x(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        return py_bool(native(self).model.scale_x());
    });
}
PyObject* get_x_scale_row(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        return row_array(native(self).model.x_scale());
    });
}
PyObject* get_y_scale_row(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        return row_array(native(self).model.y_scale());
    });
}

Py_ssize_t vantorix_len(PyObject* self) {
    try {
        SharedBorrow borrow(flag(self));
        return static_cast<Py_ssize_t>(native(self).model.num_obs());
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// ---------------------------------------------------------------------------
// Queries

PyObject* vantorix_posterior(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("posterior",
                            {"x", "k_num_neighbors", "epistemic_variance_scale", "aleatoric_variance_scale",
                             "exclude_nearest", "observation_noise"},
                            4, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        const ParamsArgs pa = to_params_args(a[1], a[2], a[3]);
        const bool exclude = to_bool_or(a[4], "exclude_nearest", false);
        const bool noise = to_bool_or(a[5], "observation_noise", false);
        const qelbo::QELParams params = pa.make();
        const VantorixObject& obj = native(self);
        const qelbo::QELNormal r =
            qelbo::posterior(obj.model, x.view2(), params, {exclude, noise, obj.tie_break_neighbors});
        return posterior_tuple(r);
    });
}

PyObject* vantorix_batch_posterior(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("batch_posterior",
                            {"x", "k_values", "epistemic_scales", "aleatoric_scales", "exclude_nearest",
                             "observation_noise"},
                            4, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        const std::vector<std::int32_t> ks = to_i32_list(a[1], "k_values");
        const std::vector<double> epis = to_f64_list(a[2], "epistemic_scales");
        const std::vector<double> ales = to_f64_list(a[3], "aleatoric_scales");
        const bool exclude = to_bool_or(a[4], "exclude_nearest", false);
        const bool noise = to_bool_or(a[5], "observation_noise", false);
        if (epis.size() != ks.size() || ales.size() != ks.size()) {
            raise_value_error("k_values, epistemic_scales, and aleatoric_scales must have same length");
        }
        std::vector<qelbo::QELParams> records;
        records.reserve(ks.size());
        for (std::size_t i = 0; i < ks.size(); ++i) records.push_back(qelbo::QELParams::make(ks[i], epis[i], ales[i]));
        const VantorixObject& obj = native(self);
        const qelbo::QELNormal r =
            qelbo::batch_posterior(obj.model, x.view2(), records, {exclude, noise, obj.tie_break_neighbors});
        PyRef mean = PyRef::steal(nd_array(r.mean));
        PyRef total = PyRef::steal(nd_array(r.total_std));
        PyRef epistemic = PyRef::steal(nd_array(r.epistemic_std));
        PyRef aleatoric = PyRef::steal(nd_array(r.aleatoric_std));
        return py_tuple({mean.release(), total.release(), epistemic.release(), aleatoric.release()});
    });
}

PyObject* vantorix_neighbors(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("neighbors", {"x", "k", "exclude_nearest"}, 2, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        const std::int32_t k = to_i32(a[1], "k");
        const bool exclude = to_bool_or(a[2], "exclude_nearest", false);
        const qelbo::Vantorix& m = native(self).model;
        const std::size_t q = x.dim(0);
        if (x.dim(1) != m.num_dim()) throw qelbo::QELError::invalid_shape({q, m.num_dim()}, {q, x.dim(1)});
        qelbo::check_x_values(x.view2());
        if (k < 0) throw qelbo::QELError::invalid_parameter("k must be non-negative, got " + std::to_string(k));
        const std::size_t n = m.num_obs();
        const std::size_t ku = static_cast<std::size_t>(k);
        auto empty = [&] {
            const std::size_t shape[2] = {q, 0};
            return new_u64_array(shape, nullptr);
        };
        if (n == 0) return empty();
        std::size_t search_k;
        if (!exclude) {
            if (k == 0) return empty();
            search_k = std::min(n, ku);
        } else {
            if (n == 1) {
                throw qelbo::QELError::invalid_parameter(
                    "exclude_nearest=true requires at least 2 observations, got " + std::to_string(n));
            }
            search_k = std::min(n, ku + 1);
        }
        const qelbo::SearchResult r = qelbo::search_with_exact_fallback(m, x.view2(), search_k, exclude);
        const std::size_t c = std::min(r.indices.cols, ku);
        std::vector<std::uint64_t> out(qelbo::checked_mul(q, c));
        for (std::size_t i = 0; i < q; ++i)
            for (std::size_t j = 0; j < c; ++j) out[i * c + j] = static_cast<std::uint64_t>(r.indices(i, j));
        const std::size_t shape[2] = {q, c};
        return new_u64_array(shape, out.data());
    });
}

PyObject* distances_and_indices(const qelbo::SearchResult& r) {
    PyRef d = PyRef::steal(from_array2(r.distances));
    PyRef i = PyRef::steal(from_array2(r.indices));
    return py_tuple({d.release(), i.release()});
}

PyObject* vantorix_neighbor_distances_and_indices(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("neighbor_distances_and_indices", {"x", "search_k", "exclude_nearest"}, 2, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        const std::int32_t search_k = to_i32(a[1], "search_k");
        const bool exclude = to_bool_or(a[2], "exclude_nearest", false);
        return distances_and_indices(native(self).model.backend_search(x.view2(), search_k, exclude));
    });
}

PyObject* vantorix_index_neighbor_distances_and_indices(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        SharedBorrow borrow(flag(self));
        auto a = parse_args("index_neighbor_distances_and_indices",
                            {"x", "search_k", "exclude_nearest", "tie_break_neighbors"}, 2, args, kwargs);
        F64Array x = to_f64_array(a[0], "x", 2);
        const std::int32_t search_k = to_i32(a[1], "search_k");
        const bool exclude = to_bool_or(a[2], "exclude_nearest", false);
        const bool tie_break = to_bool_or(a[3], "tie_break_neighbors", true);
        return distances_and_indices(
            qelbo::index_search(native(self).model, x.view2(), search_k, exclude, tie_break));
    });
}

// ---------------------------------------------------------------------------
// The type

#define KW(name) kw_cast(name), METH_VARARGS | METH_KEYWORDS
#define SIG(name, sig) QEL_DOC(name, sig, "")

PyMethodDef g_methods[] = {
    {"add", KW(vantorix_add), SIG("add", "($self, x, y, yvar=None)")},
    {"row_x", KW(vantorix_row_x), SIG("row_x", "($self, i)")},
    {"row_y", KW(vantorix_row_y), SIG("row_y", "($self, i)")},
    {"train_rows_at", KW(vantorix_train_rows_at), SIG("train_rows_at", "($self, indices)")},
    {"tie_break_neighbors", vantorix_tie_break_neighbors, METH_NOARGS, SIG("tie_break_neighbors", "($self)")},
    {"set_tie_break_neighbors", KW(vantorix_set_tie_break_neighbors),
     SIG("set_tie_break_neighbors", "($self, enabled=True)")},
    {"ensure_index_sync", vantorix_ensure_index_sync, METH_NOARGS, SIG("ensure_index_sync", "($self)")},
    {"schedule_background_flush", vantorix_schedule_background_flush, METH_NOARGS,
     SIG("schedule_background_flush", "($self)")},
    {"persist_index_to_disk", vantorix_persist_index_to_disk, METH_NOARGS, SIG("persist_index_to_disk", "($self)")},
    {"index_memory_bytes", vantorix_index_memory_bytes, METH_NOARGS, SIG("index_memory_bytes", "($self)")},
    {"posterior", KW(vantorix_posterior),
     SIG("posterior", "($self, x, k_num_neighbors, epistemic_variance_scale, aleatoric_variance_scale, "
                      "exclude_nearest=False, observation_noise=False)")},
    {"batch_posterior", KW(vantorix_batch_posterior),
     QEL_DOC("batch_posterior",
             "($self, x, k_values, epistemic_scales, aleatoric_scales, exclude_nearest=False, "
             "observation_noise=False)",
             "Batch posterior with multiple parameter sets.")},
    {"neighbors", KW(vantorix_neighbors),
     QEL_DOC("neighbors", "($self, x, k, exclude_nearest=False)", "Get k nearest neighbors for query points.")},
    {"neighbor_distances_and_indices", KW(vantorix_neighbor_distances_and_indices),
     SIG("neighbor_distances_and_indices", "($self, x, search_k, exclude_nearest=False)")},
    {"index_neighbor_distances_and_indices", KW(vantorix_index_neighbor_distances_and_indices),
     SIG("index_neighbor_distances_and_indices",
         "($self, x, search_k, exclude_nearest=False, tie_break_neighbors=True)")},
    {nullptr, nullptr, 0, nullptr},
};

#undef KW
#undef SIG

PyGetSetDef g_getset[] = {
    {"num_outputs", get_num_outputs, nullptr, nullptr, nullptr},
    {"num_dim", get_num_dim, nullptr, nullptr, nullptr},
    {"scale_x", get_scale_x, nullptr, nullptr, nullptr},
    {"x_scale_row", get_x_scale_row, nullptr, nullptr, nullptr},
    {"y_scale_row", get_y_scale_row, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// This file's methods followed by the draw and conditional methods; built once at registration.
std::vector<PyMethodDef>& all_methods() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> out;
        for (PyMethodDef* d = g_methods; d->ml_name; ++d) out.push_back(*d);
        for (PyMethodDef* d = g_vantorix_draw_methods; d->ml_name; ++d) out.push_back(*d);
        out.push_back({nullptr, nullptr, 0, nullptr});
        return out;
    }();
    return methods;
}

}  // namespace

const qelbo::Vantorix* vantorix_value(PyObject* o) {
    if (!g_vantorix_type || !PyObject_TypeCheck(o, g_vantorix_type)) return nullptr;
    return &native(o).model;
}

BorrowFlag& vantorix_borrow_flag(PyObject* o) { return flag(o); }

bool vantorix_tie_break(PyObject* o) { return native(o).tie_break_neighbors; }

PyObject* posterior_tuple(const qelbo::QELNormal& r) {
    PyRef mean = PyRef::steal(nd_array(r.mean));
    PyRef total = PyRef::steal(nd_array(r.total_std));
    PyRef epistemic = PyRef::steal(nd_array(r.epistemic_std));
    PyRef aleatoric = PyRef::steal(nd_array(r.aleatoric_std));
    PyRef idx = r.neighbor_indices ? PyRef::steal(from_array2(*r.neighbor_indices)) : PyRef::borrow(Py_None);
    return py_tuple({mean.release(), total.release(), epistemic.release(), aleatoric.release(), idx.release()});
}

int register_vantorix(PyObject* module) {
    return guarded_int([&] {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(QEL_DOC("Vantorix",
                                                  "(train_x, train_y, train_yvar=None, scale_x=False, "
                                                  "index_driver=\"Exact\", work_dir=None, qel_storage=None)",
                                                  "Python wrapper for Vantorix"))},
            {Py_tp_new, reinterpret_cast<void*>(vantorix_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<VantorixObject>)},
            {Py_tp_methods, all_methods().data()},
            {Py_tp_getset, g_getset},
            {Py_sq_length, reinterpret_cast<void*>(vantorix_len)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"Vantorix", sizeof(VantorixBox), 0, Py_TPFLAGS_DEFAULT, slots};
        g_vantorix_type = add_type(module, &spec);
        return 0;
    });
}

}  // namespace qelcore
