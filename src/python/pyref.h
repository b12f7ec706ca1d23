// PyRef: a move-only owning handle for one strong reference to a PyObject,
// released when the handle goes out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kivo::python {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be NULL, e.g. a failed call).
    static PyRef steal(PyObject* p) { return PyRef(p); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace kivo::python
