// Parameter matching (positional and keyword arguments to named parameters)
// and the scalar conversions of method arguments, with their exact messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

namespace kivo::python {

// The parameters of one function: the leading `required` ones have no
// default. `display` is the name used in messages, e.g. "Kivo.search()".
// Parameters from `positional` on are keyword-only (-1: none is).
struct Signature {
    const char* display;
    const char* const* names;
    int count;
    int required;
    int positional = -1;

    int max_positional() const { return positional < 0 ? count : positional; }
};

inline constexpr int kMaxParams = 12;

// Matches vectorcall arguments; out[i] receives the borrowed argument for
// parameter i or NULL when it was not passed. False with TypeError set.
bool match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);
// The same for a tuple and an optional dict (the constructor).
bool match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// Puts "argument '{name}': " in front of the pending error when its type is
// exactly TypeError, keeping its cause; other errors stay as they are.
void prefix_argument_error(const char* name);

// Scalar conversions. Each returns false with the error set, already
// prefixed with the parameter name where the prefix rule applies.
bool to_u64(PyObject* obj, const char* name, uint64_t& out);
bool to_bit_width(PyObject* obj, const char* name, uint8_t& out);
bool to_f64(PyObject* obj, const char* name, double& out);
// `str` only, as UTF-8.
bool to_utf8(PyObject* obj, const char* name, std::string& out);
// A file path: a `str`, or an os.PathLike whose __fspath__() gives a `str`,
// as UTF-8. Anything else (bytes, or a path-like giving bytes) gets the
// message of `to_utf8` for the object passed.
bool to_path(PyObject* obj, const char* name, std::string& out);

// A double rounded to the nearest float32 (IEEE rounding, out-of-range values
// to infinities, NaN stays NaN), without the undefined behaviour of a plain
// cast beyond the float range.
float double_to_float(double d);

// The qualified name of an object's type ("int", "Outer.Inner").
std::string type_qualname(PyObject* obj);
// "'{qualified type name}' object {tail}".
std::string object_message(PyObject* obj, const char* tail);

}  // namespace kivo::python
