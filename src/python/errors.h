// Engine errors as Python exceptions (to_py_err), the one-message exception
// helpers every other file raises through, and the C++ exception boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "error.h"

namespace kivo::python {

// The built-in exception type an engine error maps to: OSError for the three
// file-level failures, RuntimeError for the two state failures,
// KeyboardInterrupt for Interrupted, ValueError for every other variant.
PyObject* exception_type_for(ErrorKind kind);

// A new exception instance (OSError exactly, never a subclass) created from
// the error's display text alone. NULL with an error set if creating it fails.
PyObject* to_py_err(const KivoError& error);

// Sets the exception of to_py_err; always returns nullptr so callers can
// `return raise_engine_error(e);`. An Interrupted error with a Python
// exception already pending (set by a signal handler during the call's
// interrupt poll) keeps that exception.
std::nullptr_t raise_engine_error(const KivoError& error);

// None for a successful status, else raise_engine_error's NULL.
PyObject* none_or_error(const Status& status);

// Sets a new instance of `type` created from `message` alone.
std::nullptr_t raise_message(PyObject* type, std::string_view message);

// A check of the module's own bookkeeping failed; valid input never gets
// here. RuntimeError naming the invariant.
std::nullptr_t raise_invariant(std::string_view what);

// Replaces the pending error by ImportError "{head}: {old text}" whose
// cause is the old error.
std::nullptr_t raise_import_error_from_current(std::string_view head);

// Call from inside `catch (...)`: allocation failures become MemoryError,
// anything else a RuntimeError naming it (replacing any Python error set).
std::nullptr_t raise_from_cpp_exception();

}  // namespace kivo::python
