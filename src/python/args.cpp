// Parameter matching and scalar conversion of method arguments.
#include "args.h"

#include <cfloat>
#include <cmath>
#include <string>
#include <string_view>

#include "errors.h"
#include "pyref.h"

namespace kivo::python {

namespace {

bool name_equals(PyObject* key, const char* name) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();  // a key that cannot be UTF-8 names no parameter
        return false;
    }
    return std::string_view(text, static_cast<std::size_t>(size)) == name;
}

std::string key_text(PyObject* key) {
    PyRef s = PyRef::steal(PyObject_Str(key));
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    std::string message = signature.display;
    const int most = signature.max_positional();
    if (signature.required == most) {
        message += " takes " + std::to_string(most) + " positional arguments but ";
    } else {
        message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(most) +
                   " positional arguments but ";
    }
    message += std::to_string(given) + " " + verb + " given";
    raise_message(PyExc_TypeError, message);
    return false;
}

// Keyword `key` with value `value`: unknown name, then duplicate.
bool place_keyword(const Signature& signature, PyObject* key, PyObject* value, PyObject** out) {
    for (int i = 0; i < signature.count; ++i) {
        if (!name_equals(key, signature.names[i])) continue;
        if (out[i] != nullptr) {
            raise_message(PyExc_TypeError, std::string(signature.display) + " got multiple values for argument '" +
                                               signature.names[i] + "'");
            return false;
        }
        out[i] = value;
        return true;
    }
    raise_message(PyExc_TypeError,
                  std::string(signature.display) + " got an unexpected keyword argument '" + key_text(key) + "'");
    return false;
}

bool check_required(const Signature& signature, PyObject** out) {
    std::string names[kMaxParams];
    int missing = 0;
    for (int i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) {
            std::string& quoted = names[missing++];
            quoted.append(1, '\'').append(signature.names[i]).append(1, '\'');
        }
    }
    if (missing == 0) return true;
    std::string list;
    for (int i = 0; i < missing; ++i) {
        if (i > 0) {
            if (missing == 2) {
                list += " and ";
            } else {
                list += i == missing - 1 ? ", and " : ", ";
            }
        }
        list += names[i];
    }
    raise_message(PyExc_TypeError, std::string(signature.display) + " missing " + std::to_string(missing) +
                                       " required positional argument" + (missing == 1 ? "" : "s") + ": " +
                                       list);
    return false;
}

}  // namespace

bool match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    for (int i = 0; i < signature.count; ++i) out[i] = nullptr;
    if (nargs > signature.max_positional()) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out)) return false;
        }
    }
    return check_required(signature, out);
}

bool match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (int i = 0; i < signature.count; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > signature.max_positional()) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Dict order is the order the keywords were given in.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(signature, key, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_Occurred()) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef old_type = PyRef::steal(type);
    PyRef old_value = PyRef::steal(value);
    PyRef old_tb = PyRef::steal(traceback);
    // Exactly TypeError: subclasses and other types pass unchanged.
    if (!old_value || Py_TYPE(old_value.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_Restore(old_type.release(), old_value.release(), old_tb.release());
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(old_value.get()));
    if (!text) return;  // str() of the error failed; that error is set instead
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef remapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!remapped) return;
    PyObject* cause = PyException_GetCause(old_value.get());  // new reference or NULL
    if (cause != nullptr) PyException_SetCause(remapped.get(), cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, remapped.get());
}

bool to_u64(PyObject* obj, const char* name, uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_argument_error(name);  // OverflowError: passes unchanged
        return false;
    }
    out = static_cast<uint64_t>(value);
    return true;
}

bool to_bit_width(PyObject* obj, const char* name, uint8_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    // Taken as a signed 64-bit value first: beyond that range the
    // interpreter's OverflowError stands, inside it a value outside 0..255
    // gets the narrowing message.
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    if (value < 0 || value > 255) {
        raise_message(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<uint8_t>(value);
    return true;
}

bool to_f64(PyObject* obj, const char* name, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = value;
    return true;
}

float double_to_float(double d) {
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) {
        // Beyond FLT_MAX by half an ulp (2^103) or more rounds to infinity
        // (the tie goes to infinity: FLT_MAX has an odd significand).
        const double halfway = static_cast<double>(FLT_MAX) + 0x1p103;
        const float magnitude = std::fabs(d) >= halfway ? HUGE_VALF : FLT_MAX;
        return d < 0 ? -magnitude : magnitude;
    }
    return static_cast<float>(d);
}

std::string type_qualname(PyObject* obj) {
    PyRef qualname = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
}

std::string object_message(PyObject* obj, const char* tail) {
    std::string message;
    message.append(1, '\'').append(type_qualname(obj)).append("' object ").append(tail);
    return message;
}

bool to_utf8(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_message(PyExc_TypeError, object_message(obj, "cannot be converted to 'PyString'"));
        prefix_argument_error(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        prefix_argument_error(name);  // UnicodeEncodeError: passes unchanged
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool to_path(PyObject* obj, const char* name, std::string& out) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return to_utf8(obj, name, out);
    // os.PathLike is any type with __fspath__ (looked up on the type, as
    // os.fspath does); without it the object is refused as a non-string.
    PyRef method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return to_utf8(obj, name, out);
    }
    PyRef fspath = PyRef::steal(PyOS_FSPath(obj));
    if (!fspath) {
        prefix_argument_error(name);  // __fspath__ raised or gave neither str nor bytes
        return false;
    }
    // Byte paths are not taken: the message names the object passed.
    if (!PyUnicode_Check(fspath.get())) return to_utf8(obj, name, out);
    return to_utf8(fspath.get(), name, out);
}

}  // namespace kivo::python
