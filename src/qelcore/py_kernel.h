#pragma once
// The binding kernel: owned references, exception translation (done in one place),
// argument parsing and conversion, NumPy views and results, borrow flags, and the
// interpreter-lock release helper. No numerics live here.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL QELCORE_ARRAY_API
#ifndef QELCORE_KERNEL_IMPL
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qelbo/core/error.h"
#include "qelbo/core/array.h"

namespace qelcore {

// ---------------------------------------------------------------------------
// Errors

// Thrown when a Python exception is already set (by the C API) and should propagate.
struct PyErrorSet {};

// Thrown to raise a Python exception of the given type with a message.
struct PyRaise {
    PyObject* type;
    std::string message;
};

[[noreturn]] inline void raise(PyObject* type, std::string message) { throw PyRaise{type, std::move(message)}; }
[[noreturn]] inline void raise_value_error(std::string message) { raise(PyExc_ValueError, std::move(message)); }

// The panic exception class (derives from BaseException), created on first use.
PyObject* panic_exception_type();

// Sets the Python exception for the exception currently being handled.
void translate_current_exception() noexcept;

// Runs f, turning C++ exceptions into Python exceptions; returns nullptr on error.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Same for slots returning int (0 ok, -1 error).
template <class F>
int guarded_int(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// ---------------------------------------------------------------------------
// Owned references

class PyRef {
public:
    PyRef() = default;
    // Takes ownership of a new reference; a null one means a Python error is set.
    static PyRef steal(PyObject* o) {
        if (!o) throw PyErrorSet{};
        PyRef r;
        r.p_ = o;
        return r;
    }
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        PyRef r;
        r.p_ = o;
        return r;
    }
    PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// The interpreter lock

// Bumped whenever Python code may have run: at every argument conversion (it can call
// __index__, __float__, __len__ or __getitem__) and whenever the interpreter lock comes back.
// Array arguments compare it to know when their layout must be read again.
inline std::uint64_t python_epoch = 0;
inline void note_python_may_run() { ++python_epoch; }

// Releases the interpreter lock for its lifetime. Only native copies may be read inside.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        PyEval_RestoreThread(state_);
        note_python_may_run();  // other threads ran meanwhile
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// Argument parsing

// Parses positional and keyword arguments against the names of a text signature.
// The first `required` names must be given; the result holds borrowed references,
// nullptr for an omitted argument. Missing, duplicated, unexpected or surplus
// arguments raise TypeError before any conversion.
std::vector<PyObject*> parse_args(const char* fname, std::initializer_list<const char*> names, std::size_t required,
                                  PyObject* args, PyObject* kwargs);

// True when an optional argument is absent (omitted or None).
inline bool is_absent(PyObject* o) { return o == nullptr || o == Py_None; }

// Conversions. `name` is the argument's name, used in the TypeError text
// "argument '<name>': <failure>". OverflowError carries the interpreter's text only.
std::uint64_t to_u64(PyObject* o, const char* name);
std::int64_t to_i64(PyObject* o, const char* name);
std::int32_t to_i32(PyObject* o, const char* name);
double to_f64(PyObject* o, const char* name);
bool to_bool(PyObject* o, const char* name);
// A flag with a default: an omitted argument gives the default; None is not a bool.
inline bool to_bool_or(PyObject* o, const char* name, bool fallback) { return o ? to_bool(o, name) : fallback; }
std::string to_str(PyObject* o, const char* name);
std::vector<double> to_f64_list(PyObject* o, const char* name);
std::vector<std::int32_t> to_i32_list(PyObject* o, const char* name);
std::vector<std::int64_t> to_i64_list(PyObject* o, const char* name);
std::vector<std::uint64_t> to_u64_list(PyObject* o, const char* name);
// Checks that o is a dict (or subclass); returns it borrowed.
PyObject* to_dict(PyObject* o, const char* name);

// A read-only view of a NumPy array argument of a fixed element type, any strides.
// Conversion checks the type and keeps a reference to the array; the layout (data
// pointer, shape, strides) is read at first use and read again, with the type checked
// again, whenever Python code may have run since: such code can resize the array and free
// the buffer a recorded pointer would still point into. Raw views (bytes, view1, view2)
// are therefore taken only after every argument is converted, and used before any
// further Python code runs.
class ArrayArg {
public:
    int ndim() const { return static_cast<int>(layout().shape.size()); }
    std::size_t dim(int axis) const { return layout().shape[static_cast<std::size_t>(axis)]; }
    const std::vector<std::size_t>& shape() const { return layout().shape; }
    std::size_t size() const { return layout().size; }
    bool contiguous() const { return layout().contiguous; }
    const char* bytes() const { return layout().data; }
    const std::vector<npy_intp>& strides() const { return layout().strides; }

protected:
    struct Layout {
        const char* data = nullptr;
        std::vector<std::size_t> shape;
        std::vector<npy_intp> strides;
        std::size_t size = 0;
        bool contiguous = false;
    };
    const Layout& layout() const {
        if (epoch_ != python_epoch) bind();
        return layout_;
    }

private:
    void bind() const;

    PyRef array_;
    const char* name_ = "";
    int want_ndim_ = -1;
    int type_num_ = 0;
    mutable Layout layout_;
    mutable std::uint64_t epoch_ = ~std::uint64_t{0};
    friend ArrayArg make_array_arg(PyObject*, const char*, int, int);
};

class F64Array : public ArrayArg {
public:
    // Element (i) or (i, j) for 1-D and 2-D arrays, read through the strides.
    double at(std::size_t i) const {
        const Layout& l = layout();
        return *reinterpret_cast<const double*>(l.data + npy_intp(i) * l.strides[0]);
    }
    double at(std::size_t i, std::size_t j) const {
        const Layout& l = layout();
        return *reinterpret_cast<const double*>(l.data + npy_intp(i) * l.strides[0] + npy_intp(j) * l.strides[1]);
    }
    // All elements in logical row-major order, copied.
    std::vector<double> to_vector() const;
    // A 2-D array as an owned row-major array (copied).
    qelbo::Array2 to_array2() const;
    // A row-major view of a 2-D array: the array's own memory when it is
    // C-contiguous, otherwise a copy kept in this object.
    qelbo::MatView view2();
    // A 1-D array as a span: the array's own memory when contiguous, otherwise a copy.
    std::span<const double> view1();

private:
    std::vector<double> copy_;
};

class I64Array : public ArrayArg {
public:
    std::vector<std::int64_t> to_vector() const;
};

// ndim = -1 accepts any number of dimensions.
F64Array to_f64_array(PyObject* o, const char* name, int ndim);
I64Array to_i64_array(PyObject* o, const char* name, int ndim);
// An optional array argument: absent gives none.
std::optional<F64Array> to_optional_f64_array(PyObject* o, const char* name, int ndim);
// view2 of an optional 2-D array.
std::optional<qelbo::MatView> optional_view2(std::optional<F64Array>& a);

// ---------------------------------------------------------------------------
// Results (new C-ordered arrays that own their data)

PyObject* new_f64_array(std::span<const std::size_t> shape, const double* data);
PyObject* new_i64_array(std::span<const std::size_t> shape, const std::int64_t* data);
PyObject* new_u64_array(std::span<const std::size_t> shape, const std::uint64_t* data);
PyObject* from_array2(const qelbo::Array2& m);
PyObject* from_array2(const qelbo::IndexArray2& m);
PyObject* from_vector(const std::vector<double>& v);
PyObject* from_array3(const qelbo::Array3& a);
PyObject* py_float(double v);
PyObject* py_int(std::int64_t v);
PyObject* py_uint(std::uint64_t v);
PyObject* py_bool(bool v);
PyObject* py_str(const std::string& s);
// Builds a tuple, stealing the given new references (all released on failure).
PyObject* py_tuple(std::initializer_list<PyObject*> items);
PyObject* py_list_f64(const std::vector<double>& v);

// ---------------------------------------------------------------------------
// Classes: instances hold a native value and one borrow flag.

struct BorrowFlag {
    std::int64_t state = 0;  // > 0 shared borrows in progress, -1 one exclusive borrow
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& f);
    ~SharedBorrow() { --flag_.state; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& f);
    ~ExclusiveBorrow() { flag_.state = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

template <class T>
struct Box {
    PyObject_HEAD
    BorrowFlag flag;
    T* value;  // owned; null only while the object is being built or torn down
};

template <class T>
void box_dealloc(PyObject* self) {
    auto* box = reinterpret_cast<Box<T>*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    delete box->value;
    box->value = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);  // heap types are referenced by their instances
}

// Allocates an instance of `type` holding `value`.
template <class T>
PyObject* box_new(PyTypeObject* type, T&& value) {
    auto* native = new T(std::forward<T>(value));
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) {
        delete native;
        throw PyErrorSet{};
    }
    auto* box = reinterpret_cast<Box<T>*>(obj);
    box->flag = BorrowFlag{};
    box->value = native;
    return obj;
}

template <class T>
Box<T>* unbox(PyObject* self) {
    return reinterpret_cast<Box<T>*>(self);
}

// tp_new of classes without a constructor: TypeError "No constructor defined for <name>".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a heap type from its spec and adds it to the module (and its __all__).
// Returns the new type (a borrowed reference kept alive by the module).
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec);
// Adds a function (METH_VARARGS | METH_KEYWORDS or METH_NOARGS) to the module and its __all__.
void add_function(PyObject* module, PyMethodDef* def);
// Appends a name to the module's __all__ list.
void add_to_all(PyObject* module, const char* name);

// Docstrings carry the text signature: "name(a, b=None)\n--\n\ndoc".
#define QEL_DOC(name, sig, doc) name sig "\n--\n\n" doc

using KwFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);
// Casts a keyword-taking C function for PyMethodDef.
inline PyCFunction kw_cast(KwFunction f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

}  // namespace qelcore
