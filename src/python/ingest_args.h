// The ids and vectors of the methods that change what an index stores (add,
// upsert, remove), converted in one place by add's rules, with its messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

namespace kivo::python {

// Converted arguments. With `is_flat` the vectors are `flat`, ids.size()
// rows of dim floats back to back (an array's own buffer, or `scratch` when
// that buffer is not float-aligned); otherwise they are `rows`.
struct IngestArgs {
    std::vector<uint64_t> ids;
    bool is_flat = false;
    std::span<const float> flat;
    std::vector<float> scratch;
    std::vector<std::vector<float>> rows;
};

// The id list alone (remove). False with the error set.
bool convert_ingest_ids(PyObject* ids, IngestArgs& out);

// Ids and vectors (add, upsert): a C-ordered float32 matrix is read in place
// (`vectors` must stay alive while `out.flat` is used), anything else row by
// row; as many rows as ids. False with the error set.
bool convert_ingest_args(PyObject* ids, PyObject* vectors, uint64_t dim, IngestArgs& out);

}  // namespace kivo::python
