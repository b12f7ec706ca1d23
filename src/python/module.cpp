// The extension module kivo._kivo (re-exported by the package kivo):
// PyInit__kivo, the module definition, and the class and version it exposes.
// Nothing else happens at import.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "diagnostics.h"
#include "kivo_type.h"
#include "module_state.h"
#include "pyref.h"

namespace kivo::python {
namespace {

// Runs on every import. The engine and its class are process-wide state
// written for one interpreter, so other interpreters are refused.
int kivo_exec(PyObject* module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "kivo can only be imported in the main interpreter");
        return -1;
    }
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    state->key_id = PyUnicode_InternFromString("id");
    state->key_score = PyUnicode_InternFromString("score");
    if (state->key_id == nullptr || state->key_score == nullptr) return -1;
    PyRef type = PyRef::steal(create_kivo_type(module));
    if (!type) return -1;
    if (PyModule_AddObject(module, "Kivo", type.get()) < 0) return -1;
    type.release();  // the module holds it now
    if (PyModule_AddStringConstant(module, "__version__", "1.0.0") < 0) return -1;
    return 0;
}

int kivo_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    Py_VISIT(state->key_id);
    Py_VISIT(state->key_score);
    return 0;
}

int kivo_clear(PyObject* module) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    Py_CLEAR(state->key_id);
    Py_CLEAR(state->key_score);
    return 0;
}

void kivo_free(void* module) { kivo_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(kivo_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kivo._kivo",
    "",  // empty module docstring
    sizeof(ModuleState),
    diagnostic_functions,  // private (underscored); kivo re-exports none of them
    kSlots,
    kivo_traverse,
    kivo_clear,
    kivo_free,
};

}  // namespace
}  // namespace kivo::python

PyMODINIT_FUNC PyInit__kivo(void) { return PyModuleDef_Init(&kivo::python::kModule); }
