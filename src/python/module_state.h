// The extension module's own state: the interned keys of search results,
// created by the module's exec slot and released with the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kivo::python {

struct ModuleState {
    PyObject* key_id;     // "id"
    PyObject* key_score;  // "score"
};

// The state of the module the class of `self` (an instance of Kivo) belongs
// to. The class is created once and keeps that module alive, so the state
// outlives every instance.
inline ModuleState& module_state_of(PyObject* self) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
}

}  // namespace kivo::python
