// The signal-driven InterruptCheck of the module.
#include "signals.h"

namespace kivo::python {

namespace {

bool poll_signals(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace

InterruptCheck signal_interrupt_check() { return InterruptCheck{&poll_signals, nullptr}; }

}  // namespace kivo::python
