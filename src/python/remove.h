// Bindings that take vectors out of an index: remove and upsert. Each
// method's parameters, docstring, function and table entry stand together in
// remove.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kivo::python {

extern const PyMethodDef kRemoveMethod;
extern const PyMethodDef kUpsertMethod;

}  // namespace kivo::python
