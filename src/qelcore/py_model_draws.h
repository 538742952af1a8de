#pragma once
// Function draws and the conditional posterior as methods of the Python Vantorix class.
// The class lives in py_model.cpp; it lists these methods in its method table.

#include "qelcore/py_kernel.h"

namespace qelbo {
class Vantorix;
struct QELNormal;
}

namespace qelcore {

// posterior_function_draw, conditional_posterior, conditional_posterior_function_draw;
// ends with a null sentinel.
extern PyMethodDef g_vantorix_draw_methods[];

// Hooks into the Vantorix class, defined by py_model.cpp.
// The model inside a Python Vantorix, or null when o is not one.
const qelbo::Vantorix* vantorix_value(PyObject* o);
// The object's borrow flag (o must be a Vantorix).
BorrowFlag& vantorix_borrow_flag(PyObject* o);
// The object's own tie-break flag (o must be a Vantorix).
bool vantorix_tie_break(PyObject* o);
// (mean, total_std, epistemic_std, aleatoric_std, neighbour indices or None).
PyObject* posterior_tuple(const qelbo::QELNormal& r);

}  // namespace qelcore
