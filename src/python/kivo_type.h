// The instance layout of class Kivo, its access state (shared or exclusive
// use of the engine by running methods) and the pieces of its method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>

#include "engine/engine.h"

namespace kivo::python {

struct PyKivo {
    PyObject_HEAD
    // Engaged for every instance that finished construction; the instance
    // owns it alone and destroys it in dealloc.
    std::optional<engine::Kivo> engine;
    // 0: free; n > 0: shared by n running methods; -1: exclusive.
    Py_ssize_t access;
};

// The class object (created once per process by the module).
PyTypeObject* kivo_type();
// Creates the class on first use, tied to `module` (whose state its methods
// read); a new reference, or NULL with an error set.
PyObject* create_kivo_type(PyObject* module);

// A new instance owning `engine`, access free. NULL with an error set.
PyObject* new_kivo_instance(engine::Kivo&& engine);

// The receiver as an instance, or NULL with TypeError "'{}' object cannot be
// converted to 'Kivo'".
PyKivo* as_kivo(PyObject* self);

// Shared access for the guard's lifetime; ok() is false (RuntimeError "Already
// mutably borrowed" set) when exclusive access is held.
class SharedAccess {
public:
    explicit SharedAccess(PyKivo* self);
    ~SharedAccess();
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    bool ok() const { return self_ != nullptr; }

private:
    PyKivo* self_;
};

// Exclusive access for the guard's lifetime; ok() is false (RuntimeError
// "Already borrowed" set) when any access is held.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(PyKivo* self);
    ~ExclusiveAccess();
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    bool ok() const { return self_ != nullptr; }

private:
    PyKivo* self_;
};

// The engine of an instance whose construction finished. Construction moves
// the engine in before the instance is visible, so this always holds.
inline engine::Kivo& engine_of(PyKivo* self) { return *self->engine; }

// The text of hnsw_selection ("diverse" or "closest", any case); false with
// TypeError (not a str) or ValueError (unknown text) set.
bool to_hnsw_selection(PyObject* obj, vocab::HnswSelection& out);

// A binding of any calling convention as the PyCFunction a method entry holds.
template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Method table pieces, in class order: the bindings, then the accessors. Each
// entry is defined beside its function; these list them (pointers, so the
// lists need no initialisation order between files).
extern const PyMethodDef* const binding_methods[];
extern const std::size_t binding_method_count;
extern const PyMethodDef* const accessor_methods[];
extern const std::size_t accessor_method_count;

}  // namespace kivo::python
