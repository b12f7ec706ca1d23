// kivo._kivo._kernels(): one dict per scoring kernel variant of this build
// (name, bits, supported, selected, agrees), so that a packaged build can show
// which variant dispatch picks on this processor and that each variant the
// processor runs scores as the portable path does.
#include "diagnostics.h"

#include "engine/engine.h"
#include "pyref.h"

namespace kivo::python {
namespace {

PyObject* kernels(PyObject*, PyObject*) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const engine::KernelCheck& check : engine::check_kernels()) {
        PyRef row = PyRef::steal(Py_BuildValue("{s:s,s:i,s:O,s:O,s:O}", "name", check.name, "bits",
                                               static_cast<int>(check.bits), "supported",
                                               check.supported ? Py_True : Py_False, "selected",
                                               check.selected ? Py_True : Py_False, "agrees",
                                               check.agrees ? Py_True : Py_False));
        if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
    }
    return list.release();
}

const char kKernelsDoc[] =
    "_kernels()\n--\n\n"
    "The scoring kernel variants of this build, in dispatch priority order: a\n"
    "list of dicts with 'name', 'bits', 'supported' (the processor has the\n"
    "features), 'selected' (dispatch picks it) and 'agrees' (checked against\n"
    "the portable path on a fixed sample; False when not supported).\n";

}  // namespace

PyMethodDef diagnostic_functions[] = {
    {"_kernels", kernels, METH_NOARGS, kKernelsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kivo::python
