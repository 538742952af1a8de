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

PyModuleDef g_defs[6] = {};
const Submodule g_submodules[6] = {
    {"hypervolume", "Hypervolume calculation module", register_hypervolume},
    {"hash", "Hash-based RNG module", register_hash},
    {"util", "Utility functions module", register_util},
    {"model", "QEL model module", fill_model},
    {"fit", "Parameter fitting module", register_fit},
    {"optimizer", "Optimizer module", register_optimizer},
};

// Builds submodule i; returns a new reference, or null with an exception set.
PyObject* build_submodule(std::size_t i) {
    PyModuleDef& def = g_defs[i];
    def = PyModuleDef{PyModuleDef_HEAD_INIT, g_submodules[i].name, g_submodules[i].doc, -1,
                      nullptr, nullptr, nullptr, nullptr, nullptr};
    PyObject* m = PyModule_Create(&def);
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
    return m;
}

// m_size 0 (not -1): a repeated import calls the init function again, which then
// hands back the one module object of the process.
PyModuleDef g_main_def = {PyModuleDef_HEAD_INIT, "qelcore",
                          "qelcore: the main module of the native core, imported as qel.qelcore.", 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_main = nullptr;
std::int64_t g_main_interpreter = -1;

PyObject* build_main() {
    // Types, tables and the panic exception are process-wide and belong to the
    // interpreter that first imported the module; another interpreter must not share them.
    const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interp < 0) return nullptr;
    if (g_main_interpreter >= 0 && interp != g_main_interpreter) {
        PyErr_SetString(PyExc_ImportError, "qelcore can be imported in one interpreter per process only");
        return nullptr;
    }
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
        PyObject* sub = build_submodule(i);
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
    g_main_interpreter = interp;
    return main;
}

}  // namespace
}  // namespace qelcore

PyMODINIT_FUNC PyInit_qelcore(void) { return qelcore::build_main(); }
PyMODINIT_FUNC PyInit_hypervolume(void) { return qelcore::build_submodule(0); }
PyMODINIT_FUNC PyInit_hash(void) { return qelcore::build_submodule(1); }
PyMODINIT_FUNC PyInit_util(void) { return qelcore::build_submodule(2); }
PyMODINIT_FUNC PyInit_model(void) { return qelcore::build_submodule(3); }
PyMODINIT_FUNC PyInit_fit(void) { return qelcore::build_submodule(4); }
PyMODINIT_FUNC PyInit_optimizer(void) { return qelcore::build_submodule(5); }
