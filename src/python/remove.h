// Bindings that take vectors out of an index: remove and upsert.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kivo::python {

PyObject* kivo_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kivo_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kRemoveDoc[];
extern const char kUpsertDoc[];

}  // namespace kivo::python
