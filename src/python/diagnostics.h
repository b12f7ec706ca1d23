// Private module-level functions of kivo._kivo for checking a build (not part
// of the package's public surface): the scoring kernels as dispatch sees them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kivo::python {

// NULL-terminated method table for the module definition.
extern PyMethodDef diagnostic_functions[];

}  // namespace kivo::python
