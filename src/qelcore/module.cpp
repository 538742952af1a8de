// The extension module frame: the main module `qelcore` and its six submodules.
#include "qelcore/py_kernel.h"
#include "qelcore/registry.h"

#include <cstdint>

namespace qelcore {
namespace {

struct Submodule {
    const char* name;
    const char* doc;
    int (*fill)(PyObject*);
};

int fill_model(PyObject* m) {
    if (register_vantorix(m) < 0) return -1;
    return register_qelparams(m);
}

const Submodule g_submodules[6] = {
    {"hypervolume", "Hypervolume calculation module", register_hypervolume},
    {"hash", "Hash-based RNG module", register_hash},
    {"util", "Utility functions module", register_util},
    {"model", "QEL model module", fill_model},
    {"fit", "Parameter fitting module", register_fit},
    {"optimizer", "Optimizer module", register_optimizer},
};

// Written once and never again: once a submodule was loaded through its own entry point,
// the interpreter's extension cache keeps a pointer to its definition. m_size 0 (not -1):
// a repeated load calls the entry point again, which hands back the one module object.
PyModuleDef definition(std::size_t i) {
    return PyModuleDef{PyModuleDef_HEAD_INIT, g_submodules[i].name, g_submodules[i].doc, 0,
                       nullptr, nullptr, nullptr, nullptr, nullptr};
}
PyModuleDef g_defs[6] = {definition(0), definition(1), definition(2), definition(3), definition(4), definition(5)};

// Each submodule is built once per process, whichever entry point asks first, so its
// classes exist once and objects made through one path are accepted by the other.
PyObject* g_built[6] = {};
std::int64_t g_interpreter = -1;

// Types, tables and the panic exception are process-wide and belong to the interpreter
// that first loaded the module; another interpreter must not share them.
bool in_owning_interpreter() {
    const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interp < 0) return false;
    if (g_interpreter >= 0 && interp != g_interpreter) {
        PyErr_SetString(PyExc_ImportError, "qelcore can be imported in one interpreter per process only");
        return false;
    }
    return true;
}

// Submodule i; returns a new reference, or null with an exception set.
PyObject* submodule(std::size_t i) {
    if (!in_owning_interpreter()) return nullptr;
    if (g_built[i]) return Py_NewRef(g_built[i]);
    PyObject* m = PyModule_Create(&g_defs[i]);
    if (!m) return nullptr;
    PyObject* all = PyList_New(0);
    if (!all || PyModule_AddObject(m, "__all__", all) < 0) {
        Py_XDECREF(all);
        Py_DECREF(m);
        return nullptr;
    }
    if (g_submodules[i].fill(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    g_built[i] = Py_NewRef(m);
    g_interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    return m;
}

PyModuleDef g_main_def = {PyModuleDef_HEAD_INIT, "qelcore",
                          "qelcore: the main module of the native core, imported as qel.qelcore.", 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_main = nullptr;

PyObject* build_main() {
    if (!in_owning_interpreter()) return nullptr;
    if (g_main) return Py_NewRef(g_main);
    PyObject* main = PyModule_Create(&g_main_def);
    if (!main) return nullptr;
    PyObject* all = PyList_New(0);
    if (!all || PyModule_AddObject(main, "__all__", all) < 0) {
        Py_XDECREF(all);
        Py_DECREF(main);
        return nullptr;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        PyObject* sub = submodule(i);
        if (!sub) {
            // A submodule that could not be created fails the import as an internal failure.
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_MemoryError)) {
                PyErr_Clear();
                PyErr_SetString(panic_exception_type(), "failed to wrap pymodule");
            }
            Py_DECREF(main);
            return nullptr;
        }
        if (PyModule_AddObject(main, g_submodules[i].name, sub) < 0) {
            Py_DECREF(sub);
            Py_DECREF(main);
            return nullptr;
        }
        PyObject* name = PyUnicode_FromString(g_submodules[i].name);
        if (!name || PyList_Append(all, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(main);
            return nullptr;
        }
        Py_DECREF(name);
    }
    g_main = Py_NewRef(main);
    return main;
}

}  // namespace
}  // namespace qelcore

PyMODINIT_FUNC PyInit_qelcore(void) { return qelcore::build_main(); }
PyMODINIT_FUNC PyInit_hypervolume(void) { return qelcore::submodule(0); }
PyMODINIT_FUNC PyInit_hash(void) { return qelcore::submodule(1); }
PyMODINIT_FUNC PyInit_util(void) { return qelcore::submodule(2); }
PyMODINIT_FUNC PyInit_model(void) { return qelcore::submodule(3); }
PyMODINIT_FUNC PyInit_fit(void) { return qelcore::submodule(4); }
PyMODINIT_FUNC PyInit_optimizer(void) { return qelcore::submodule(5); }
