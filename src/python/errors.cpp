// Engine errors as Python exceptions and the C++ exception boundary.
#include "errors.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "pyref.h"

namespace kivo::python {

PyObject* exception_type_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Io:
        case ErrorKind::InvalidFormat:
        case ErrorKind::UnsupportedVersion:
            return PyExc_OSError;
        case ErrorKind::EmptyIndex:
        case ErrorKind::NotBuilt:
            return PyExc_RuntimeError;
        case ErrorKind::Interrupted:
            return PyExc_KeyboardInterrupt;
        case ErrorKind::DimensionMismatch:
        case ErrorKind::InvalidBitWidth:
        case ErrorKind::InvalidMetric:
        case ErrorKind::IdCountMismatch:
        case ErrorKind::UnsupportedIndexType:
        case ErrorKind::NotImplemented:
        case ErrorKind::EmptySample:
        case ErrorKind::FitAfterAdd:
            return PyExc_ValueError;
    }
    return PyExc_ValueError;
}

namespace {

// One positional argument: OSError(msg) stays OSError (only two or more
// arguments make OSError pick an errno subclass), errno/strerror/filename None.
PyObject* new_exception(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    return PyObject_CallOneArg(type, text.get());
}

std::nullptr_t set_exception(PyObject* type, PyObject* instance) {
    if (instance == nullptr) return nullptr;  // creating it failed; that error is set
    PyErr_SetObject(type, instance);
    Py_DECREF(instance);
    return nullptr;
}

}  // namespace

PyObject* to_py_err(const KivoError& error) {
    return new_exception(exception_type_for(error.kind()), error.message());
}

std::nullptr_t raise_engine_error(const KivoError& error) {
    // The signal poll stopped the call and left the handler's exception
    // (KeyboardInterrupt, or whatever a custom handler raised) pending.
    if (error.kind() == ErrorKind::Interrupted && PyErr_Occurred()) return nullptr;
    return set_exception(exception_type_for(error.kind()), to_py_err(error));
}

PyObject* none_or_error(const Status& status) {
    if (!status) return raise_engine_error(status.error());
    Py_RETURN_NONE;
}

std::nullptr_t raise_message(PyObject* type, std::string_view message) {
    return set_exception(type, new_exception(type, message));
}

std::nullptr_t raise_invariant(std::string_view what) {
    std::string message = "kivo internal invariant violated: ";
    message += what;
    return raise_message(PyExc_RuntimeError, message);
}

std::nullptr_t raise_import_error_from_current(std::string_view head) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef cause = PyRef::steal(value);
    std::string message(head);
    if (cause) {
        PyRef text = PyRef::steal(PyObject_Str(cause.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) message += std::string(": ") + utf8;
        PyErr_Clear();
    }
    PyRef error = PyRef::steal(new_exception(PyExc_ImportError, message));
    if (!error) return nullptr;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_ImportError, error.get());
    return nullptr;
}

std::nullptr_t raise_from_cpp_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        raise_message(PyExc_MemoryError, "cannot allocate memory for this operation");
    } catch (const std::length_error&) {
        raise_message(PyExc_MemoryError, "cannot allocate memory for this operation: size too large");
    } catch (const std::exception& e) {
        std::string message = "kivo internal error: ";
        message += e.what();
        raise_message(PyExc_RuntimeError, message);
    } catch (...) {
        raise_message(PyExc_RuntimeError, "kivo internal error: unknown C++ exception");
    }
    return nullptr;
}

}  // namespace kivo::python
