// Vector, batch and id-list arguments to engine inputs, and the lazily
// loaded NumPy C API. The only file that includes the NumPy headers.
#include "convert.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "args.h"
#include "errors.h"
#include "pyref.h"

namespace kivo::python {

namespace {

bool g_numpy_ready = false;
PyArray_Descr* g_float32 = nullptr;  // native float32, kept for the process
PyObject* g_numpy_name = nullptr;    // interned "numpy"

// A __len__ is only a hint; never let an absurd one allocate up front.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

std::string format_dims(const char* head, uint64_t expected, uint64_t got) {
    return std::string(head) + "dimension mismatch: expected " + std::to_string(expected) + ", got " +
           std::to_string(got);
}

// Sets a new `type` error from `message`; false, for `return fail(...)`.
bool fail(PyObject* type, const std::string& message) {
    raise_message(type, message);
    return false;
}

bool float_element(PyObject* item, float& out) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return false;
    }
    out = double_to_float(value);
    return true;
}

bool raise_not_sequence(PyObject* obj) {
    return fail(PyExc_TypeError, object_message(obj, "cannot be converted to 'Sequence'"));
}

bool raise_str_refused() { return fail(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

bool raise_not_contiguous() { return fail(PyExc_TypeError, "The given array is not contiguous"); }

// 1: `obj` is exactly a numpy.ndarray (its API is then loaded); 0: it is
// not; -1: error. Only exact arrays take the buffer routes: a subclass may
// give its buffer a meaning of its own (a masked array's masked values, a
// class's own __iter__), so it is converted element by element like any
// other sequence. An object can only be an array when numpy is in
// sys.modules, so a process that never imported numpy never loads it here.
int is_ndarray(PyObject* obj) {
    if (!g_numpy_ready) {
        if (g_numpy_name == nullptr) {
            g_numpy_name = PyUnicode_InternFromString("numpy");
            if (g_numpy_name == nullptr) return -1;
        }
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyFloat_CheckExact(obj) ||
            PyLong_CheckExact(obj) || PyUnicode_Check(obj)) {
            return 0;
        }
        PyObject* numpy = PyImport_GetModule(g_numpy_name);
        if (numpy == nullptr) return PyErr_Occurred() ? -1 : 0;
        // sys.modules["numpy"] = None is how an import is blocked.
        const bool present = PyModule_Check(numpy);
        Py_DECREF(numpy);
        if (!present) return 0;
        if (!ensure_numpy()) return -1;
    }
    return PyArray_CheckExact(obj) ? 1 : 0;
}

// The array when `obj` is a NumPy array whose element type is equivalent to
// native float32 (a byte-swapped float32 array is not), else nullptr.
// `failed` reports a NumPy load failure.
PyArrayObject* as_float32_array(PyObject* obj, bool& failed) {
    failed = false;
    const int is_array = is_ndarray(obj);
    if (is_array < 0) {
        failed = true;
        return nullptr;
    }
    if (is_array == 0) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_EquivTypes(PyArray_DESCR(array), g_float32)) return nullptr;
    return array;
}

// A one-dimensional native float64 array, any stride: each element is the
// exact double its scalar's __float__ would give, so reading the buffer
// yields the same values as the element route without a Python object each.
// -1: error; 0: not such an array; 1: converted.
int float64_vector(PyObject* obj, std::vector<float>& out) {
    const int is_array = is_ndarray(obj);
    if (is_array <= 0) return is_array;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_FLOAT64 || !PyArray_ISNOTSWAPPED(array)) return 0;
    const npy_intp n = PyArray_DIM(array, 0);
    const npy_intp stride = PyArray_STRIDE(array, 0);
    const auto* base = static_cast<const char*>(PyArray_DATA(array));
    out.resize(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
        double value;
        std::memcpy(&value, base + i * stride, sizeof(double));
        out[static_cast<std::size_t>(i)] = double_to_float(value);
    }
    return 1;
}

// One vector given as any sequence, converted element by element.
bool float_sequence(PyObject* obj, std::vector<float>& out) {
    out.clear();
    if (PyUnicode_Check(obj)) return raise_str_refused();
    if (!PySequence_Check(obj)) return raise_not_sequence(obj);
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
        const int done = float64_vector(obj, out);
        if (done != 0) return done > 0;
    }
    if (PyList_CheckExact(obj)) {
        // Same steps as the list iterator: the size is read again after every
        // element, since an element's __float__ may change the list.
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
            float value;
            if (!float_element(item.get(), value)) return false;
            out.push_back(value);
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        out.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            float value;
            if (!float_element(PyTuple_GET_ITEM(obj, i), value)) return false;
            out.push_back(value);
        }
        return true;
    }
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        float value;
        if (!float_element(item.get(), value)) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

// Copies a C- or Fortran-contiguous float32 matrix in logical row order.
void copy_rows(PyArrayObject* array, uint64_t dim, std::vector<std::vector<float>>& out) {
    const npy_intp rows = PyArray_DIM(array, 0);
    const auto* base = static_cast<const char*>(PyArray_DATA(array));
    out.clear();
    out.resize(static_cast<std::size_t>(rows));
    if (dim == 0) return;  // zero-width rows: nothing to split
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        const std::size_t row_bytes = static_cast<std::size_t>(dim) * sizeof(float);
        for (npy_intp i = 0; i < rows; ++i) {
            out[i].resize(dim);
            std::memcpy(out[i].data(), base + static_cast<std::size_t>(i) * row_bytes, row_bytes);
        }
        return;
    }
    // Column-major: row i is every rows-th value starting at i.
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp col_stride = PyArray_STRIDE(array, 1);
    for (npy_intp i = 0; i < rows; ++i) {
        std::vector<float>& row = out[i];
        row.resize(dim);
        const char* p = base + i * row_stride;
        for (uint64_t j = 0; j < dim; ++j) std::memcpy(&row[j], p + static_cast<npy_intp>(j) * col_stride, sizeof(float));
    }
}

// A row of a batch given as a sequence: a contiguous float32 vector is copied
// as one block (the same values the element route would give).
bool batch_row(PyObject* item, std::vector<float>& out) {
    bool failed = false;
    PyArrayObject* array = as_float32_array(item, failed);
    if (failed) return false;
    if (array != nullptr && PyArray_NDIM(array) == 1 && PyArray_IS_C_CONTIGUOUS(array)) {
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(array, 0));
        out.resize(n);
        if (n != 0) std::memcpy(out.data(), PyArray_DATA(array), n * sizeof(float));
        return true;
    }
    return float_sequence(item, out);
}

bool id_element(PyObject* item, uint64_t& out) {
    unsigned long long value;
    if (PyLong_Check(item)) {
        value = PyLong_AsUnsignedLongLong(item);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(item));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<uint64_t>(value);
    return true;
}

template <class T>
bool copy_integer_array(PyArrayObject* array, std::vector<uint64_t>& out) {
    const npy_intp n = PyArray_DIM(array, 0);
    const npy_intp stride = PyArray_STRIDE(array, 0);
    const auto* base = static_cast<const char*>(PyArray_DATA(array));
    out.resize(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
        T value;
        std::memcpy(&value, base + i * stride, sizeof(T));
        if constexpr (std::is_signed_v<T>) {
            if (value < 0) return false;  // the element route raises the interpreter's error
        }
        out[static_cast<std::size_t>(i)] = static_cast<uint64_t>(value);
    }
    return true;
}

// A one-dimensional native integer array, copied without a Python object per
// element. False when the array does not qualify or holds a negative value;
// the element route then runs and gives the exact outcome.
bool integer_array_ids(PyObject* obj, std::vector<uint64_t>& out, bool& failed) {
    failed = false;
    const int is_array = is_ndarray(obj);
    if (is_array <= 0) {
        failed = is_array < 0;
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || !PyArray_ISNOTSWAPPED(array)) return false;
    switch (PyArray_TYPE(array)) {
        case NPY_BYTE: return copy_integer_array<npy_byte>(array, out);
        case NPY_UBYTE: return copy_integer_array<npy_ubyte>(array, out);
        case NPY_SHORT: return copy_integer_array<npy_short>(array, out);
        case NPY_USHORT: return copy_integer_array<npy_ushort>(array, out);
        case NPY_INT: return copy_integer_array<npy_int>(array, out);
        case NPY_UINT: return copy_integer_array<npy_uint>(array, out);
        case NPY_LONG: return copy_integer_array<npy_long>(array, out);
        case NPY_ULONG: return copy_integer_array<npy_ulong>(array, out);
        case NPY_LONGLONG: return copy_integer_array<npy_longlong>(array, out);
        case NPY_ULONGLONG: return copy_integer_array<npy_ulonglong>(array, out);
        default: return false;
    }
}

}  // namespace

bool ensure_numpy() {
    if (g_numpy_ready) return true;
    if (_import_array() < 0) {
        // Version mismatches come as RuntimeError: report them as the import
        // failure they are, with the original as the cause.
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) raise_import_error_from_current("kivo could not load the NumPy C API");
        return false;
    }
    g_float32 = PyArray_DescrFromType(NPY_FLOAT32);
    if (g_float32 == nullptr) return false;
    g_numpy_ready = true;
    return true;
}

bool extract_vector(PyObject* obj, uint64_t dim, std::vector<float>& out) {
    bool failed = false;
    PyArrayObject* array = as_float32_array(obj, failed);
    if (failed) return false;
    if (array != nullptr && PyArray_NDIM(array) == 1) {
        if (!PyArray_IS_C_CONTIGUOUS(array)) return raise_not_contiguous();
        const auto n = static_cast<uint64_t>(PyArray_DIM(array, 0));
        if (n != dim) return fail(PyExc_ValueError, format_dims("query ", dim, n));
        out.resize(static_cast<std::size_t>(n));
        if (n != 0) std::memcpy(out.data(), PyArray_DATA(array), static_cast<std::size_t>(n) * sizeof(float));
        return true;
    }
    if (!float_sequence(obj, out)) return false;
    if (out.size() != dim) return fail(PyExc_ValueError, format_dims("query ", dim, out.size()));
    return true;
}

bool extract_vectors(PyObject* obj, uint64_t dim, std::vector<std::vector<float>>& out) {
    out.clear();
    bool failed = false;
    PyArrayObject* array = as_float32_array(obj, failed);
    if (failed) return false;
    if (array != nullptr && PyArray_NDIM(array) == 2) {
        const auto cols = static_cast<uint64_t>(PyArray_DIM(array, 1));
        if (cols != dim) return fail(PyExc_ValueError, format_dims("vector ", dim, cols));
        if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) return raise_not_contiguous();
        copy_rows(array, dim, out);
        return true;
    }
    if (PyUnicode_Check(obj)) return raise_str_refused();
    if (!PySequence_Check(obj)) return raise_not_sequence(obj);
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        out.emplace_back();
        if (!batch_row(item.get(), out.back())) return false;
    }
    if (PyErr_Occurred()) return false;
    // Lengths are compared only once every row converted: a conversion error
    // in a later row wins over a wrong length in an earlier one.
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i].size() != dim) {
            return fail(PyExc_ValueError,
                                 "vector " + std::to_string(i) + " " + format_dims("", dim, out[i].size()));
        }
    }
    return true;
}

ViewResult direct_batch_view(PyObject* obj, uint64_t dim, std::size_t n_ids, std::span<const float>& data,
                             std::vector<float>& scratch) {
    bool failed = false;
    PyArrayObject* array = as_float32_array(obj, failed);
    if (failed) return ViewResult::Failed;
    if (array == nullptr || PyArray_NDIM(array) != 2 || !PyArray_IS_C_CONTIGUOUS(array)) {
        return ViewResult::NotApplicable;
    }
    const auto rows = static_cast<uint64_t>(PyArray_DIM(array, 0));
    const auto cols = static_cast<uint64_t>(PyArray_DIM(array, 1));
    // Zero-width rows cannot be told apart in a flat buffer: the row route
    // produces them.
    if (cols == 0) return ViewResult::NotApplicable;
    if (cols != dim) {
        raise_message(PyExc_ValueError, format_dims("vector ", dim, cols));
        return ViewResult::Failed;
    }
    if (rows != n_ids) {
        raise_message(PyExc_ValueError, "ids length (" + std::to_string(n_ids) + ") != vectors length (" +
                                            std::to_string(rows) + ")");
        return ViewResult::Failed;
    }
    const std::size_t count = static_cast<std::size_t>(rows * cols);
    const auto* floats = static_cast<const float*>(PyArray_DATA(array));
    if (PyArray_ISALIGNED(array)) {
        data = std::span<const float>(floats, count);
    } else {
        // A float view needs float alignment; one block copy restores it.
        scratch.resize(count);
        std::memcpy(scratch.data(), PyArray_DATA(array), count * sizeof(float));
        data = scratch;
    }
    return ViewResult::Ready;
}

namespace {

bool raise_one_query() {
    return fail(PyExc_ValueError,
                "search_batch() takes a 2-D batch of queries [nq, dim], got a 1-D query: "
                "pass [query] or use search()");
}

bool raise_no_queries() { return fail(PyExc_ValueError, "search_batch() needs at least one query, got 0"); }

// Whether a sequence's first item is a number rather than a row.
int first_item_is_number(PyObject* obj) {
    if (!PySequence_Check(obj) || PyUnicode_Check(obj)) return 0;
    const Py_ssize_t n = PySequence_Size(obj);
    if (n <= 0) {
        PyErr_Clear();
        return 0;
    }
    PyRef first = PyRef::steal(PySequence_GetItem(obj, 0));
    if (!first) return -1;
    return (PyFloat_Check(first.get()) || PyLong_Check(first.get())) ? 1 : 0;
}

}  // namespace

bool extract_query_batch(PyObject* obj, uint64_t dim, std::span<const float>& data, std::size_t& rows,
                         std::vector<float>& scratch) {
    const int is_array = is_ndarray(obj);
    if (is_array < 0) return false;
    if (is_array == 1) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        const int ndim = PyArray_NDIM(array);
        if (ndim == 1) return raise_one_query();
        if (ndim != 2) {
            return fail(PyExc_ValueError, "search_batch() takes a 2-D batch of queries [nq, dim], got an array of " +
                                              std::to_string(ndim) + " dimensions");
        }
        const auto n = static_cast<uint64_t>(PyArray_DIM(array, 0));
        const auto cols = static_cast<uint64_t>(PyArray_DIM(array, 1));
        const bool f32 = PyArray_EquivTypes(PyArray_DESCR(array), g_float32);
        const bool f64 = PyArray_TYPE(array) == NPY_FLOAT64 && PyArray_ISNOTSWAPPED(array);
        if (f32 || f64) {
            if (cols != dim) return fail(PyExc_ValueError, format_dims("query ", dim, cols));
            if (n == 0) return raise_no_queries();
            rows = static_cast<std::size_t>(n);
            const std::size_t count = static_cast<std::size_t>(n * cols);
            if (f32 && PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array)) {
                data = std::span<const float>(static_cast<const float*>(PyArray_DATA(array)), count);
                return true;
            }
            // Any other layout: one copy in logical row order.
            scratch.resize(count);
            const auto* base = static_cast<const char*>(PyArray_DATA(array));
            const npy_intp s0 = PyArray_STRIDE(array, 0), s1 = PyArray_STRIDE(array, 1);
            for (uint64_t r = 0; r < n; ++r) {
                for (uint64_t c = 0; c < cols; ++c) {
                    const char* p = base + static_cast<npy_intp>(r) * s0 + static_cast<npy_intp>(c) * s1;
                    float value;
                    if (f32) {
                        std::memcpy(&value, p, sizeof value);
                    } else {
                        double d;
                        std::memcpy(&d, p, sizeof d);
                        value = double_to_float(d);
                    }
                    scratch[r * cols + c] = value;
                }
            }
            data = scratch;
            return true;
        }
    } else {
        const int number_first = first_item_is_number(obj);
        if (number_first < 0) return false;
        if (number_first == 1) return raise_one_query();
    }
    std::vector<std::vector<float>> batch;
    if (!extract_vectors(obj, dim, batch)) return false;
    if (batch.empty()) return raise_no_queries();
    rows = batch.size();
    scratch.resize(rows * dim);
    for (std::size_t r = 0; r < rows; ++r) std::copy(batch[r].begin(), batch[r].end(), scratch.begin() + r * dim);
    data = scratch;
    return true;
}

bool extract_ids(PyObject* obj, const char* name, std::vector<uint64_t>& out) {
    out.clear();
    bool failed = false;
    if (integer_array_ids(obj, out, failed)) return true;
    if (failed) {
        prefix_argument_error(name);
        return false;
    }
    out.clear();
    bool ok = true;
    if (PyUnicode_Check(obj)) {
        ok = raise_str_refused();
    } else if (!PySequence_Check(obj)) {
        ok = raise_not_sequence(obj);
    } else if (PyList_CheckExact(obj)) {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(obj); ++i) {
            PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
            uint64_t id;
            ok = id_element(item.get(), id);
            if (ok) out.push_back(id);
        }
    } else {
        const Py_ssize_t hint = PySequence_Size(obj);
        if (hint < 0) {
            PyErr_Clear();
        } else {
            out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
        }
        PyRef iter = PyRef::steal(PyObject_GetIter(obj));
        ok = static_cast<bool>(iter);
        while (ok) {
            PyRef item = PyRef::steal(PyIter_Next(iter.get()));
            if (!item) {
                ok = !PyErr_Occurred();
                break;
            }
            uint64_t id;
            ok = id_element(item.get(), id);
            if (ok) out.push_back(id);
        }
    }
    if (!ok) prefix_argument_error(name);
    return ok;
}

PyObject* new_array_copy(ArrayKind kind, std::span<const std::size_t> shape, const void* bytes) {
    if (!ensure_numpy()) return nullptr;
    int typenum = NPY_UINT8;
    std::size_t item = 1;
    switch (kind) {
        case ArrayKind::UInt8: typenum = NPY_UINT8; item = 1; break;
        case ArrayKind::UInt64: typenum = NPY_UINT64; item = 8; break;
        case ArrayKind::Float32: typenum = NPY_FLOAT32; item = 4; break;
    }
    npy_intp dims[2] = {0, 0};
    std::size_t total = item;
    for (std::size_t i = 0; i < shape.size() && i < 2; ++i) {
        dims[i] = static_cast<npy_intp>(shape[i]);
        total *= shape[i];
    }
    PyObject* array = PyArray_SimpleNew(static_cast<int>(shape.size()), dims, typenum);
    if (array == nullptr) return nullptr;
    if (total != 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), bytes, total);
    return array;
}

}  // namespace kivo::python
