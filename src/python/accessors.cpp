// NumPy accessors for external scoring: the transformed query, packed codes,
// norms, ids and centroid tables, each a new array owning a copy.
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "kivo_type.h"

namespace kivo::python {

namespace {

bool is_brute_force(const engine::Kivo& engine, const char* method) {
    if (engine.index_type() == vocab::IndexType::BruteForce) return true;
    raise_message(PyExc_RuntimeError, std::string(method) + " is only available for BruteForce indexes");
    return false;
}

// ---- Kivo.transform_query_np ----------------------------------------------------

const char* const kQueryParams[] = {"query"};
const Signature kTransformSignature{"Kivo.transform_query_np()", kQueryParams, 1, 1};

const char kTransformQueryDoc[] =
    "transform_query_np($self, query)\n--\n\n"
    "Apply the full query pipeline (standardization \xE2\x86\x92 RHDH \xE2\x86\x92 scale).\n"
    "\n"
    "Returns a float32 numpy array of shape ``[padded_dim]``.\n"
    "Used by GPU scoring to avoid reimplementing RHDH in Python.\n";

PyObject* kivo_transform_query_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kTransformSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);
        std::vector<float> query;
        if (!extract_vector(a[0], engine.dim(), query)) return nullptr;
        const std::vector<float> transformed = engine.transform_query(query);
        if (transformed.size() != engine.padded_dim()) {
            return raise_invariant("transform_query returned " + std::to_string(transformed.size()) +
                                   " values for a padded dimension of " + std::to_string(engine.padded_dim()));
        }
        const std::size_t shape[1] = {transformed.size()};
        return new_array_copy(ArrayKind::Float32, shape, transformed.data());
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kTransformQueryNpMethod{"transform_query_np", as_cfunction(kivo_transform_query_np),
                         METH_FASTCALL | METH_KEYWORDS, kTransformQueryDoc};

// ---- Kivo.packed_data -----------------------------------------------------------

const char kPackedDataDoc[] =
    "packed_data($self)\n--\n\n"
    "Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``.\n"
    "\n"
    "BruteForce only \xE2\x80\x94 raises ``RuntimeError`` for IvfFlat / HNSW.\n"
    "Use with ``transform_query_np`` and ``centroids_4bit`` / ``centroids_2bit``\n"
    "to implement custom GPU scoring (see the ``kivo.gpu`` scoring module).\n";

PyObject* kivo_packed_data(PyObject* self, PyObject*) {
    try {
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);
        if (!is_brute_force(engine, "packed_data()")) return nullptr;
        const uint64_t n = engine.len();
        const uint64_t width = engine.packed_bytes_per_vec();
        const std::span<const uint8_t> codes = engine.codes();
        // The engine keeps codes at exactly n rows; these are the shape
        // errors if it ever did not.
        constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<Py_ssize_t>::max());
        if (width != 0 && n > kMax / width) {
            return raise_message(PyExc_RuntimeError, "ShapeError/Overflow: arithmetic overflow");
        }
        const uint64_t expected = n * width;
        if (codes.size() > expected) {
            return raise_message(PyExc_RuntimeError, "ShapeError/IncompatibleShape: incompatible shapes");
        }
        if (codes.size() < expected) {
            return raise_message(PyExc_RuntimeError, "ShapeError/OutOfBounds: out of bounds indexing");
        }
        const std::size_t shape[2] = {static_cast<std::size_t>(n), static_cast<std::size_t>(width)};
        return new_array_copy(ArrayKind::UInt8, shape, codes.data());
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kPackedDataMethod{"packed_data", as_cfunction(kivo_packed_data),
                         METH_NOARGS, kPackedDataDoc};

// ---- Kivo.vector_norms ----------------------------------------------------------

const char kVectorNormsDoc[] =
    "vector_norms($self)\n--\n\n"
    "Per-vector quantized norms as a float32 numpy array of shape ``[n]``.\n"
    "\n"
    "Used for score adjustment after GPU dot product:\n"
    "  cosine: score / norm\n"
    "  l2:     score - 0.5 * norm**2\n"
    "  dot:    no adjustment\n";

PyObject* kivo_vector_norms(PyObject* self, PyObject*) {
    try {
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);
        if (!is_brute_force(engine, "vector_norms()")) return nullptr;
        const std::span<const float> norms = engine.norms();
        const std::size_t shape[1] = {norms.size()};
        return new_array_copy(ArrayKind::Float32, shape, norms.data());
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kVectorNormsMethod{"vector_norms", as_cfunction(kivo_vector_norms),
                         METH_NOARGS, kVectorNormsDoc};

// ---- Kivo.vector_ids ------------------------------------------------------------

const char kVectorIdsDoc[] =
    "vector_ids($self)\n--\n\n"
    "Vector IDs as a uint64 numpy array of shape ``[n]``.\n";

PyObject* kivo_vector_ids(PyObject* self, PyObject*) {
    try {
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);
        if (!is_brute_force(engine, "vector_ids()")) return nullptr;
        const std::span<const uint64_t> ids = engine.ids();
        const std::size_t shape[1] = {ids.size()};
        return new_array_copy(ArrayKind::UInt64, shape, ids.data());
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kVectorIdsMethod{"vector_ids", as_cfunction(kivo_vector_ids), METH_NOARGS, kVectorIdsDoc};

// ---- Kivo.centroids_4bit --------------------------------------------------------

const char kCentroids4Doc[] =
    "centroids_4bit()\n--\n\n"
    "4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``.\n";

PyObject* kivo_centroids_4bit(PyObject*, PyObject*) {
    const std::span<const float> table = engine::Kivo::centroids_4bit();
    const std::size_t shape[1] = {table.size()};
    return new_array_copy(ArrayKind::Float32, shape, table.data());
}
const PyMethodDef kCentroids4bitMethod{"centroids_4bit", as_cfunction(kivo_centroids_4bit),
                         METH_NOARGS | METH_STATIC, kCentroids4Doc};

// ---- Kivo.centroids_2bit --------------------------------------------------------

const char kCentroids2Doc[] =
    "centroids_2bit()\n--\n\n"
    "2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``.\n";

PyObject* kivo_centroids_2bit(PyObject*, PyObject*) {
    const std::span<const float> table = engine::Kivo::centroids_2bit();
    const std::size_t shape[1] = {table.size()};
    return new_array_copy(ArrayKind::Float32, shape, table.data());
}
const PyMethodDef kCentroids2bitMethod{"centroids_2bit", as_cfunction(kivo_centroids_2bit),
                         METH_NOARGS | METH_STATIC, kCentroids2Doc};

}  // namespace

// In class order, after the bindings.
const PyMethodDef* const accessor_methods[] = {
    &kTransformQueryNpMethod,
    &kPackedDataMethod,
    &kVectorNormsMethod,
    &kVectorIdsMethod,
    &kCentroids4bitMethod,
    &kCentroids2bitMethod,
};
const std::size_t accessor_method_count = sizeof(accessor_methods) / sizeof(accessor_methods[0]);

}  // namespace kivo::python
