#pragma once
#include <Python.h>

// Each submodule's registration, filled by the file that owns the area.
// Each returns 0 on success, -1 with a Python exception set.
namespace qelcore {
int register_hypervolume(PyObject* module);
int register_hash(PyObject* module);
int register_util(PyObject* module);
int register_vantorix(PyObject* module);
int register_qelparams(PyObject* module);
int register_fit(PyObject* module);
int register_optimizer(PyObject* module);
}  // namespace qelcore
