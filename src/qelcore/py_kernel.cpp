#define QELCORE_KERNEL_IMPL
#include "qelcore/py_kernel.h"

#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>

namespace qelcore {

namespace {

PyObject* g_panic_type = nullptr;

// NumPy's C interface is loaded on first use, not at import.
void ensure_numpy() {
    if (PyArray_API == nullptr) {
        if (_import_array() < 0) throw PyErrorSet{};
    }
}

[[noreturn]] void argument_type_error(const char* name, const std::string& failure) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': " + failure);
}

// The short type name ("ndarray", not "numpy.ndarray"), as conversion errors show it.
std::string type_name(PyObject* o) { return _PyType_Name(Py_TYPE(o)); }

// Re-raises the pending Python error as a TypeError naming the argument when it is a
// TypeError; other errors (OverflowError) propagate unchanged.
[[noreturn]] void rethrow_conversion(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyRef t = PyRef::steal(type ? type : Py_NewRef(PyExc_TypeError));
        PyRef v = PyRef::borrow(value);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        std::string text;
        if (v) {
            PyObject* s = PyObject_Str(v.get());
            if (s) {
                const char* c = PyUnicode_AsUTF8(s);
                if (c) text = c;
                Py_DECREF(s);
            }
            PyErr_Clear();
        }
        argument_type_error(name, text);
    }
    throw PyErrorSet{};
}

}  // namespace

PyObject* panic_exception_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc("qelcore.PanicException",
                                                 "An internal failure of the native core.",
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const PyRaise& e) {
        PyErr_SetString(e.type, e.message.c_str());
    } catch (const qelbo::CoreError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const qelbo::Panic& e) {
        PyObject* t = panic_exception_type();
        if (t) PyErr_SetString(t, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {
        // A size beyond what any allocation could hold: the caller asked for too much.
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        PyObject* t = panic_exception_type();
        if (t) PyErr_SetString(t, e.what());
    } catch (...) {
        PyObject* t = panic_exception_type();
        if (t) PyErr_SetString(t, "unknown native failure");
    }
}

// ---------------------------------------------------------------------------

std::vector<PyObject*> parse_args(const char* fname, std::initializer_list<const char*> names, std::size_t required,
                                  PyObject* args, PyObject* kwargs) {
    const std::size_t n = names.size();
    std::vector<PyObject*> out(n, nullptr);
    const Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(npos) > n) {
        raise(PyExc_TypeError, std::string(fname) + "() takes " + std::to_string(n) + " positional argument" +
                                   (n == 1 ? "" : "s") + " but " + std::to_string(npos) +
                                   (npos == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < npos; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (!k) {
                PyErr_Clear();
                raise(PyExc_TypeError, std::string(fname) + "() keywords must be strings");
            }
            std::size_t idx = 0;
            for (const char* nm : names) {
                if (std::strcmp(nm, k) == 0) break;
                ++idx;
            }
            if (idx == n) raise(PyExc_TypeError, std::string(fname) + "() got an unexpected keyword argument '" + k + "'");
            if (out[idx]) raise(PyExc_TypeError, std::string(fname) + "() got multiple values for argument '" + k + "'");
            out[idx] = value;
        }
    }
    std::vector<std::string> missing;
    std::size_t i = 0;
    for (const char* nm : names) {
        if (i < required && !out[i]) missing.push_back(std::string("'") + nm + "'");
        ++i;
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t j = 0; j < missing.size(); ++j) {
            if (j) list += (j + 1 == missing.size()) ? " and " : ", ";
            list += missing[j];
        }
        raise(PyExc_TypeError, std::string(fname) + "() missing " + std::to_string(missing.size()) + " required argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + list);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Scalars

namespace {
PyRef index_of(PyObject* o, const char* name) {
    note_python_may_run();
    PyObject* idx = PyNumber_Index(o);
    if (!idx) rethrow_conversion(name);
    return PyRef::steal(idx);
}
}  // namespace

std::uint64_t to_u64(PyObject* o, const char* name) {
    PyRef idx = index_of(o, name);
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_conversion(name);
    return v;
}

std::int64_t to_i64(PyObject* o, const char* name) {
    PyRef idx = index_of(o, name);
    // A C long is 64 bits here; its overflow message is the interpreter's usual one.
    static_assert(sizeof(long) == sizeof(std::int64_t));
    long v = PyLong_AsLong(idx.get());
    if (v == -1 && PyErr_Occurred()) rethrow_conversion(name);
    return v;
}

std::int32_t to_i32(PyObject* o, const char* name) {
    PyRef idx = index_of(o, name);
    long v = PyLong_AsLong(idx.get());
    if (v == -1 && PyErr_Occurred()) rethrow_conversion(name);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(v);
}

double to_f64(PyObject* o, const char* name) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    note_python_may_run();
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) rethrow_conversion(name);
    return v;
}

bool to_bool(PyObject* o, const char* name) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    // NumPy boolean scalars count as booleans.
    if (std::strcmp(Py_TYPE(o)->tp_name, "numpy.bool") == 0 || std::strcmp(Py_TYPE(o)->tp_name, "numpy.bool_") == 0) {
        note_python_may_run();
        int t = PyObject_IsTrue(o);
        if (t < 0) throw PyErrorSet{};
        return t != 0;
    }
    argument_type_error(name, "'" + type_name(o) + "' object cannot be converted to 'PyBool'");
}

std::string to_str(PyObject* o, const char* name) {
    if (!PyUnicode_Check(o)) argument_type_error(name, "'" + type_name(o) + "' object cannot be converted to 'PyString'");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) rethrow_conversion(name);
    return std::string(s, static_cast<std::size_t>(len));
}

namespace {
template <class T, class Conv>
std::vector<T> to_list(PyObject* o, const char* name, Conv conv) {
    note_python_may_run();
    if (PyUnicode_Check(o)) argument_type_error(name, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) argument_type_error(name, "'" + type_name(o) + "' object cannot be converted to 'Sequence'");
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) rethrow_conversion(name);
    std::vector<T> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(o, i));
        out.push_back(conv(item.get(), name));
    }
    return out;
}
}  // namespace

std::vector<double> to_f64_list(PyObject* o, const char* name) { return to_list<double>(o, name, to_f64); }
std::vector<std::int32_t> to_i32_list(PyObject* o, const char* name) { return to_list<std::int32_t>(o, name, to_i32); }
std::vector<std::int64_t> to_i64_list(PyObject* o, const char* name) { return to_list<std::int64_t>(o, name, to_i64); }
std::vector<std::uint64_t> to_u64_list(PyObject* o, const char* name) { return to_list<std::uint64_t>(o, name, to_u64); }

PyObject* to_dict(PyObject* o, const char* name) {
    if (!PyDict_Check(o)) argument_type_error(name, "'" + type_name(o) + "' object cannot be converted to 'PyDict'");
    return o;
}

// ---------------------------------------------------------------------------
// Arrays

namespace {
// Checks that o is an ndarray of the wanted element type and rank that can be read in place.
void check_array(PyObject* o, const char* name, int ndim, int type_num) {
    ensure_numpy();
    bool ok = PyArray_Check(o);
    if (ok) {
        PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(o);
        PyArray_Descr* want = PyArray_DescrFromType(type_num);
        ok = PyArray_EquivTypes(PyArray_DESCR(arr), want);
        Py_DECREF(want);
        if (ok && ndim >= 0) ok = PyArray_NDIM(arr) == ndim;
        // Byte-swapped or unaligned element data cannot be read in place.
        if (ok) ok = PyArray_ISNOTSWAPPED(arr) && PyArray_ISALIGNED(arr);
    }
    // The target is named generically, whatever element type and rank were asked for.
    if (!ok) argument_type_error(name, "'" + type_name(o) + "' object cannot be converted to 'PyArray<T, D>'");
}
}  // namespace

ArrayArg make_array_arg(PyObject* o, const char* name, int ndim, int type_num) {
    check_array(o, name, ndim, type_num);
    ArrayArg a;
    a.array_ = PyRef::borrow(o);
    a.name_ = name;
    a.want_ndim_ = ndim;
    a.type_num_ = type_num;
    return a;
}

void ArrayArg::bind() const {
    // The array may have changed its element type, rank or buffer since it was converted.
    check_array(array_.get(), name_, want_ndim_, type_num_);
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array_.get());
    Layout l;
    l.data = static_cast<const char*>(PyArray_DATA(arr));
    const int nd = PyArray_NDIM(arr);
    std::size_t total = 1;
    for (int i = 0; i < nd; ++i) {
        const auto d = static_cast<std::size_t>(PyArray_DIM(arr, i));
        l.shape.push_back(d);
        l.strides.push_back(PyArray_STRIDE(arr, i));
        total = qelbo::checked_size(total, d);
    }
    l.size = total;
    l.contiguous = PyArray_IS_C_CONTIGUOUS(arr);
    layout_ = std::move(l);
    epoch_ = python_epoch;
}

F64Array to_f64_array(PyObject* o, const char* name, int ndim) {
    F64Array out;
    static_cast<ArrayArg&>(out) = make_array_arg(o, name, ndim, NPY_DOUBLE);
    return out;
}

I64Array to_i64_array(PyObject* o, const char* name, int ndim) {
    I64Array out;
    static_cast<ArrayArg&>(out) = make_array_arg(o, name, ndim, NPY_INT64);
    return out;
}

std::optional<F64Array> to_optional_f64_array(PyObject* o, const char* name, int ndim) {
    if (is_absent(o)) return std::nullopt;
    return to_f64_array(o, name, ndim);
}

std::optional<qelbo::MatView> optional_view2(std::optional<F64Array>& a) {
    if (!a) return std::nullopt;
    return a->view2();
}

namespace {
template <class T>
void gather(const ArrayArg& a, T* dst) {
    const std::size_t n = a.size();
    if (n == 0) return;
    const char* base = a.bytes();
    if (a.contiguous()) {
        std::memcpy(dst, base, n * sizeof(T));
        return;
    }
    const std::vector<std::size_t>& shape = a.shape();
    const std::vector<npy_intp>& strides = a.strides();
    const std::size_t nd = shape.size();
    std::vector<std::size_t> idx(nd, 0);
    for (std::size_t k = 0; k < n; ++k) {
        npy_intp off = 0;
        for (std::size_t ax = 0; ax < nd; ++ax) off += npy_intp(idx[ax]) * strides[ax];
        std::memcpy(dst + k, base + off, sizeof(T));
        for (std::size_t ax = nd; ax-- > 0;) {
            if (++idx[ax] < shape[ax]) break;
            idx[ax] = 0;
        }
    }
}
}  // namespace

std::vector<double> F64Array::to_vector() const {
    std::vector<double> v(size());
    gather(*this, v.data());
    return v;
}

qelbo::Array2 F64Array::to_array2() const {
    const Layout& l = layout();
    qelbo::expect(l.shape.size() == 2, "to_array2 on a 2-D array");
    return qelbo::Array2(l.shape[0], l.shape[1], to_vector());
}

qelbo::MatView F64Array::view2() {
    const Layout& l = layout();
    qelbo::expect(l.shape.size() == 2, "view2 on a 2-D array");
    if (l.contiguous) return qelbo::MatView::row_major(reinterpret_cast<const double*>(l.data), l.shape[0], l.shape[1]);
    copy_ = to_vector();
    return qelbo::MatView::row_major(copy_.data(), l.shape[0], l.shape[1]);
}

std::span<const double> F64Array::view1() {
    const Layout& l = layout();
    qelbo::expect(l.shape.size() == 1, "view1 on a 1-D array");
    if (l.contiguous) return {reinterpret_cast<const double*>(l.data), l.shape[0]};
    copy_ = to_vector();
    return {copy_.data(), copy_.size()};
}

std::vector<std::int64_t> I64Array::to_vector() const {
    std::vector<std::int64_t> v(size());
    gather(*this, v.data());
    return v;
}

namespace {
template <class T>
PyObject* new_array(std::span<const std::size_t> shape, const T* data, int type_num) {
    ensure_numpy();
    std::vector<npy_intp> dims;
    std::size_t n = 1;
    for (auto s : shape) {
        n = qelbo::checked_size(n, s);
        dims.push_back(static_cast<npy_intp>(s));
    }
    PyObject* arr = PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), type_num);
    if (!arr) throw PyErrorSet{};
    if (n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data, n * sizeof(T));
    return arr;
}
}  // namespace

PyObject* new_f64_array(std::span<const std::size_t> shape, const double* data) {
    return new_array(shape, data, NPY_DOUBLE);
}
PyObject* new_i64_array(std::span<const std::size_t> shape, const std::int64_t* data) {
    return new_array(shape, data, NPY_INT64);
}
PyObject* new_u64_array(std::span<const std::size_t> shape, const std::uint64_t* data) {
    return new_array(shape, data, NPY_UINT64);
}
PyObject* from_array2(const qelbo::Array2& m) {
    const std::size_t shape[2] = {m.rows, m.cols};
    return new_f64_array(shape, m.data.data());
}
PyObject* from_array2(const qelbo::IndexArray2& m) {
    const std::size_t shape[2] = {m.rows, m.cols};
    return new_i64_array(shape, m.data.data());
}
PyObject* from_vector(const std::vector<double>& v) {
    const std::size_t shape[1] = {v.size()};
    return new_f64_array(shape, v.data());
}
PyObject* from_array3(const qelbo::Array3& a) {
    const std::size_t shape[3] = {a.d0, a.d1, a.d2};
    return new_f64_array(shape, a.data.data());
}

PyObject* py_float(double v) { return PyRef::steal(PyFloat_FromDouble(v)).release(); }
PyObject* py_int(std::int64_t v) { return PyRef::steal(PyLong_FromLongLong(v)).release(); }
PyObject* py_uint(std::uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)).release(); }
PyObject* py_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* py_str(const std::string& s) {
    return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))).release();
}

PyObject* py_tuple(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) {
        for (PyObject* o : items) Py_XDECREF(o);
        throw PyErrorSet{};
    }
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t, i++, o);
    return t;
}

PyObject* py_list_f64(const std::vector<double>& v) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyRef::steal(PyFloat_FromDouble(v[i])).release());
    return list.release();
}

// ---------------------------------------------------------------------------
// Borrow flags

SharedBorrow::SharedBorrow(BorrowFlag& f) : flag_(f) {
    if (flag_.state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_.state;
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& f) : flag_(f) {
    if (flag_.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
    flag_.state = -1;
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", _PyType_Name(type));
    return nullptr;
}

// ---------------------------------------------------------------------------
// Modules

void add_to_all(PyObject* module, const char* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        PyRef list = PyRef::steal(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", list.get()) < 0) throw PyErrorSet{};
        all = Py_NewRef(list.get());
    }
    PyRef all_ref = PyRef::steal(all);
    PyRef s = PyRef::steal(PyUnicode_FromString(name));
    if (PyList_Append(all_ref.get(), s.get()) < 0) throw PyErrorSet{};
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec) {
    // Classes are registered without a module of their own: like built-in types,
    // their __module__ is "builtins".
    static std::deque<std::string> qualified_names;
    const char* name = spec->name;
    qualified_names.push_back(std::string("builtins.") + name);
    PyType_Spec qualified = *spec;
    qualified.name = qualified_names.back().c_str();
    PyRef type = PyRef::steal(PyType_FromSpec(&qualified));
    if (PyModule_AddObjectRef(module, name, type.get()) < 0) throw PyErrorSet{};
    add_to_all(module, name);
    return reinterpret_cast<PyTypeObject*>(type.get());
}

void add_function(PyObject* module, PyMethodDef* def) {
    PyRef name = PyRef::steal(PyModule_GetNameObject(module));
    PyRef fn = PyRef::steal(PyCFunction_NewEx(def, nullptr, name.get()));
    if (PyModule_AddObjectRef(module, def->ml_name, fn.get()) < 0) throw PyErrorSet{};
    add_to_all(module, def->ml_name);
}

}  // namespace qelcore
