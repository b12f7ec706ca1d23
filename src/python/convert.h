// Vector, batch and id-list arguments to engine inputs, and the lazily loaded
// NumPy C API (loaded at the first call that meets an array, never at import).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kivo::python {

// Loads the NumPy C API (importing numpy if needed). False with ImportError.
bool ensure_numpy();

// A single vector of exactly `dim` values (query). False with the error set.
bool extract_vector(PyObject* obj, uint64_t dim, std::vector<float>& out);

// A batch of rows, each exactly `dim` values. False with the error set.
bool extract_vectors(PyObject* obj, uint64_t dim, std::vector<std::vector<float>>& out);

// The zero-copy route of add: a C-ordered float32 matrix read in place.
enum class ViewResult { NotApplicable, Ready, Failed };
// On Ready, `data` spans rows x dim floats of the array's own buffer (or of
// `scratch` when the buffer is not float-aligned). `obj` must stay alive
// while `data` is used.
ViewResult direct_batch_view(PyObject* obj, uint64_t dim, std::size_t n_ids, std::span<const float>& data,
                             std::vector<float>& scratch);

// The queries of search_batch as nq rows of dim floats, flat: a C-ordered,
// aligned float32 matrix is read in place (`obj` must stay alive while
// `data` is used); other float32 and float64 matrices are copied once in
// row order, anything else is converted row by row like a batch. A 1-D
// input, another number of dimensions and an empty batch are refused with
// ValueError. False with the error set.
bool extract_query_batch(PyObject* obj, uint64_t dim, std::span<const float>& data, std::size_t& rows,
                         std::vector<float>& scratch);

// An id list (`ids`, `allowlist`); type errors carry the parameter name.
bool extract_ids(PyObject* obj, const char* name, std::vector<uint64_t>& out);

// Element types of the arrays the accessors hand out.
enum class ArrayKind { UInt8, UInt64, Float32 };

// A new NumPy array (C-ordered, writeable, native byte order) owning a copy
// of `bytes`, which must hold exactly the product of `shape` elements. NULL
// with the error set (ImportError when NumPy cannot be loaded).
PyObject* new_array_copy(ArrayKind kind, std::span<const std::size_t> shape, const void* bytes);

}  // namespace kivo::python
