// The extension module kivo._kivo (re-exported by the package kivo):
// PyInit__kivo, the module definition, and the class and version it exposes.
// Nothing else happens at import.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kivo_type.h"
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
    PyRef type = PyRef::steal(create_kivo_type());
    if (!type) return -1;
    if (PyModule_AddObject(module, "Kivo", type.get()) < 0) return -1;
    type.release();  // the module holds it now
    if (PyModule_AddStringConstant(module, "__version__", "1.0.0") < 0) return -1;
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(kivo_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kivo._kivo",
    "",  // empty module docstring
    0,
    nullptr,  // no module-level functions
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kivo::python

PyMODINIT_FUNC PyInit__kivo(void) { return PyModuleDef_Init(&kivo::python::kModule); }
