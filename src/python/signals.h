// The InterruptCheck every long binding passes to the engine: it runs the
// interpreter's signal handlers, so Ctrl-C stops the call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "interrupt.h"

namespace kivo::python {

// Polls PyErr_CheckSignals(); the calling thread must hold the GIL. When a
// handler raised (KeyboardInterrupt by default), the poll answers true and
// the exception stays pending: the engine then returns Interrupted, and
// raise_engine_error keeps that exception instead of mapping the error.
InterruptCheck signal_interrupt_check();

}  // namespace kivo::python
