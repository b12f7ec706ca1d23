// Method bindings of class Kivo: add, search, fit, build, the runtime
// setters, save, load, the recommendations and the variance profiling
// (remove and upsert: remove.cpp). Each
// method's parameters, docstring, function and table entry stand together.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "ingest_args.h"
#include "kivo_type.h"
#include "module_state.h"
#include "pyref.h"
#include "signals.h"
#include "remove.h"

namespace kivo::python {

namespace {

// Result entries as new dicts {"id": int, "score": float}, keys in this order
// (the module's interned keys).
PyObject* result_list(const ModuleState& state, const std::vector<search::ScoredId>& results) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(results[i].id));
        if (!id || PyDict_SetItem(dict.get(), state.key_id, id.get()) < 0) return nullptr;
        PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(results[i].score)));
        if (!score || PyDict_SetItem(dict.get(), state.key_score, score.get()) < 0) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list.release();
}

// ---- Kivo.add -------------------------------------------------------------------

const char* const kAddParams[] = {"ids", "vectors"};
const Signature kAddSignature{"Kivo.add()", kAddParams, 2, 2};

const char kAddDoc[] =
    "add($self, ids, vectors)\n--\n\n"
    "Add vectors to the index.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "ids : list[int]\n"
    "    Unique integer IDs for each vector.\n"
    "vectors : list[list[float]] or numpy.ndarray\n"
    "    The embedding vectors to index: a list of lists of floats, or a float32\n"
    "    array of shape ``[n, dim]`` (a C-ordered array is read in place, without\n"
    "    a copy).\n"
    "\n"
    "A signal (Ctrl-C) stops a long call with ``KeyboardInterrupt``; the vectors\n"
    "added before it stay in the index, each complete, the rest are not added\n"
    "(``len()`` tells how many are in).\n";

PyObject* kivo_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[2];
        if (!match_fastcall(kAddSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        engine::Kivo& engine = engine_of(kivo);
        IngestArgs in;
        if (!convert_ingest_args(a[0], a[1], engine.dim(), in)) return nullptr;
        return none_or_error(in.is_flat ? engine.add_flat(in.ids, in.flat, signal_interrupt_check())
                                        : engine.add(in.ids, in.rows, signal_interrupt_check()));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kAddMethod{"add", as_cfunction(kivo_add), METH_FASTCALL | METH_KEYWORDS, kAddDoc};

// ---- Kivo.search ----------------------------------------------------------------

const char* const kSearchParams[] = {"query", "k", "allowlist"};
const Signature kSearchSignature{"Kivo.search()", kSearchParams, 3, 2};

const char kSearchDoc[] =
    "search($self, query, k, allowlist=None)\n--\n\n"
    "Search for the K nearest neighbors.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "query : list[float] or numpy.ndarray\n"
    "    The query vector: a list of floats, or a float32 array of shape ``[dim]``.\n"
    "k : int\n"
    "    Number of results to return.\n"
    "allowlist : list[int], optional\n"
    "    If provided, only these IDs are candidates (pre-filtered).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "list[dict]\n"
    "    Each dict has keys 'id' (int) and 'score' (float), sorted by score descending.\n";

PyObject* kivo_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[3];
        if (!match_fastcall(kSearchSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        engine::Kivo& engine = engine_of(kivo);

        // k, then the allowlist, then the query.
        uint64_t k = 0;
        if (!to_u64(a[1], "k", k)) return nullptr;
        std::vector<uint64_t> allowlist;
        const bool filtered = a[2] != nullptr && a[2] != Py_None;
        if (filtered && !extract_ids(a[2], "allowlist", allowlist)) return nullptr;
        std::vector<float> query;
        if (!extract_vector(a[0], engine.dim(), query)) return nullptr;

        std::optional<std::span<const uint64_t>> filter;
        if (filtered) filter = std::span<const uint64_t>(allowlist);  // empty stays a filter
        auto results = engine.search(query, k, filter);
        if (!results) return raise_engine_error(results.error());
        return result_list(module_state_of(self), *results);
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kSearchMethod{"search", as_cfunction(kivo_search),
                         METH_FASTCALL | METH_KEYWORDS, kSearchDoc};

// ---- Kivo.fit -------------------------------------------------------------------

const char* const kFitParams[] = {"vectors"};
const Signature kFitSignature{"Kivo.fit()", kFitParams, 1, 1};

const char kFitDoc[] =
    "fit($self, vectors)\n--\n\n"
    "Compute per-dimension standardization parameters for L2 metric.\n"
    "\n"
    "Must be called before ``add()``; a no-op for non-L2 metrics.\n"
    "\n"
    "The quantizer assumes rotated coordinates close to N(0,1). Raw-magnitude\n"
    "vectors (L2 metric) can deviate from that; after ``fit``, every vector and\n"
    "query is standardized as ``(x - mean) / std`` before encoding.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "vectors : list[list[float]] or numpy.ndarray\n"
    "    A representative sample (50\xE2\x80\x93" "500 vectors is enough).\n"
    "\n"
    "Example\n"
    "-------\n"
    ">>> index = Kivo(384, metric=\"l2\", bit_width=4)\n"
    ">>> index.fit(sample)\n"
    ">>> index.add(ids, vectors)\n"
    ">>> index.search(query, 10)\n";

PyObject* kivo_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kFitSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        engine::Kivo& engine = engine_of(kivo);
        std::vector<std::vector<float>> rows;
        if (!extract_vectors(a[0], engine.dim(), rows)) return nullptr;
        return none_or_error(engine.fit(rows));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kFitMethod{"fit", as_cfunction(kivo_fit), METH_FASTCALL | METH_KEYWORDS, kFitDoc};

// ---- Kivo.build -----------------------------------------------------------------

const char kBuildDoc[] =
    "build($self)\n--\n\n"
    "Build the search index.\n"
    "\n"
    "- BruteForce: no-op; the index is always ready after ``add()``.\n"
    "- IvfFlat: runs k-means over the added vectors; must be called before\n"
    "  ``search()``.\n"
    "- HNSW: no-op; the graph is built during ``add()``.\n"
    "\n"
    "A signal (Ctrl-C) stops it with ``KeyboardInterrupt`` and leaves the index\n"
    "exactly as it was before the call.\n";

PyObject* kivo_build(PyObject* self, PyObject*) {
    try {
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        return none_or_error(engine_of(kivo).build(signal_interrupt_check()));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kBuildMethod{"build", as_cfunction(kivo_build), METH_NOARGS, kBuildDoc};

// ---- Kivo.set_ef_search ---------------------------------------------------------

const char* const kEfParams[] = {"ef"};
const Signature kEfSignature{"Kivo.set_ef_search()", kEfParams, 1, 1};

const char kSetEfSearchDoc[] =
    "set_ef_search($self, ef)\n--\n\n"
    "Update HNSW ef_search at runtime without rebuilding the index.\n"
    "\n"
    "Trades recall for queries per second. No-op for non-HNSW index types.\n"
    "Higher = better recall, lower QPS.\n";

PyObject* kivo_set_ef_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kEfSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        uint64_t ef = 0;
        if (!to_u64(a[0], "ef", ef)) return nullptr;
        engine_of(kivo).set_ef_search(ef);
        Py_RETURN_NONE;
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kSetEfSearchMethod{"set_ef_search", as_cfunction(kivo_set_ef_search),
                         METH_FASTCALL | METH_KEYWORDS, kSetEfSearchDoc};

// ---- Kivo.set_nprobe ------------------------------------------------------------

const char* const kNprobeParams[] = {"nprobe"};
const Signature kNprobeSignature{"Kivo.set_nprobe()", kNprobeParams, 1, 1};

const char kSetNprobeDoc[] =
    "set_nprobe($self, nprobe)\n--\n\n"
    "Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS.\n";

PyObject* kivo_set_nprobe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kNprobeSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        uint64_t nprobe = 0;
        if (!to_u64(a[0], "nprobe", nprobe)) return nullptr;
        engine_of(kivo).set_nprobe(nprobe);
        Py_RETURN_NONE;
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kSetNprobeMethod{"set_nprobe", as_cfunction(kivo_set_nprobe),
                         METH_FASTCALL | METH_KEYWORDS, kSetNprobeDoc};

// ---- Kivo.save ------------------------------------------------------------------

const char* const kPathParams[] = {"path"};
const Signature kSaveSignature{"Kivo.save()", kPathParams, 1, 1};

const char kSaveDoc[] =
    "save($self, path)\n--\n\n"
    "Save the index to a .kivo file.\n"
    "\n"
    "``path`` is a ``str`` or an ``os.PathLike`` (such as ``pathlib.Path``)\n"
    "whose ``__fspath__()`` gives one.\n"
    "\n"
    "IvfFlat: vectors added after the last ``build()`` are written into the\n"
    "file as well, in the lists the next ``build()`` would put them in.\n"
    "\n"
    "The save is atomic and durable: the index is written to a temporary file\n"
    "in the same directory, flushed to disk and renamed over ``path``, so the\n"
    "file is always either the old or the new index, whatever happens (an\n"
    "error, a full disk, Ctrl-C, the process killed). After a failure the old\n"
    "file is left byte for byte as it was. The new file keeps the old one's\n"
    "permission bits but belongs to the saving user, and a hard link to the\n"
    "old file keeps the old content; a symbolic link is followed. A process\n"
    "killed mid-save may leave a temporary file ``.<name>.tmp-*`` beside it.\n"
    "A signal (Ctrl-C) stops a long save with ``KeyboardInterrupt``, the old\n"
    "file intact.\n";

PyObject* kivo_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kSaveSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        std::string path;
        if (!to_path(a[0], "path", path)) return nullptr;
        return none_or_error(engine_of(kivo).save(path, signal_interrupt_check()));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kSaveMethod{"save", as_cfunction(kivo_save), METH_FASTCALL | METH_KEYWORDS, kSaveDoc};

// ---- Kivo.recommended_m ---------------------------------------------------------

const char* const kNParams[] = {"n"};
const Signature kRecommendedSignature{"Kivo.recommended_m()", kNParams, 1, 1};

const char kRecommendedMDoc[] =
    "recommended_m(n)\n--\n\n"
    "Recommended HNSW M value for a given corpus size.\n"
    "\n"
    "M is the maximum number of neighbours per node. From about a million\n"
    "vectors on, M = 32 lets greedy search stop at poor local minima; M = 64\n"
    "restores recall.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "int\n"
    "    32 for N < 1_000_000, 64 for N \xE2\x89\xA5 1_000_000.\n";

PyObject* kivo_recommended_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    (void)self;  // static method: no receiver
    PyObject* a[1];
    if (!match_fastcall(kRecommendedSignature, args, nargs, kwnames, a)) return nullptr;
    uint64_t n = 0;
    if (!to_u64(a[0], "n", n)) return nullptr;
    return PyLong_FromLong(n < 1000000 ? 32 : 64);
}
const PyMethodDef kRecommendedMMethod{"recommended_m", as_cfunction(kivo_recommended_m),
                         METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kRecommendedMDoc};

// ---- Kivo.load ------------------------------------------------------------------

const char* const kLoadParams[] = {"path", "hnsw_selection"};
const Signature kLoadSignature{"Kivo.load()", kLoadParams, 2, 1, 1};

const char kLoadDoc[] =
    "load($cls, path, *, hnsw_selection=\"diverse\")\n--\n\n"
    "Load an index from a .kivo file.\n"
    "\n"
    "The file is read into memory the index owns, so it may be replaced or\n"
    "deleted afterwards; a file cut short or rewritten while it is read gives\n"
    "an ``OSError``, never a crash. A signal (Ctrl-C) stops a long load with\n"
    "``KeyboardInterrupt``.\n"
    "\n"
    "``path`` is a ``str`` or an ``os.PathLike`` (such as ``pathlib.Path``)\n"
    "whose ``__fspath__()`` gives one. ``hnsw_selection`` chooses how vectors\n"
    "added to a loaded HNSW index pick their links ('diverse' or 'closest', as\n"
    "in the constructor); the file does not store it. Other index types ignore\n"
    "it.\n";

PyObject* kivo_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    (void)self;  // the class; it cannot be subclassed, so it is not consulted
    try {
        PyObject* a[2];
        if (!match_fastcall(kLoadSignature, args, nargs, kwnames, a)) return nullptr;
        std::string path;
        if (!to_path(a[0], "path", path)) return nullptr;
        vocab::HnswSelection selection = vocab::HnswSelection::Diverse;
        if (a[1] != nullptr && !to_hnsw_selection(a[1], selection)) return nullptr;
        auto loaded = engine::Kivo::load_mmap(path, signal_interrupt_check());
        if (!loaded) return raise_engine_error(loaded.error());
        loaded->set_hnsw_selection(selection);
        return new_kivo_instance(std::move(*loaded));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kLoadMethod{"load", as_cfunction(kivo_load),
                         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, kLoadDoc};

// ---- Kivo.is_empty --------------------------------------------------------------

const char kIsEmptyDoc[] =
    "is_empty($self)\n--\n\n"
    "True if the index contains no vectors.\n";

PyObject* kivo_is_empty(PyObject* self, PyObject*) {
    PyKivo* kivo = as_kivo(self);
    if (kivo == nullptr) return nullptr;
    SharedAccess access(kivo);
    if (!access.ok()) return nullptr;
    return PyBool_FromLong(engine_of(kivo).len() == 0);
}
const PyMethodDef kIsEmptyMethod{"is_empty", as_cfunction(kivo_is_empty), METH_NOARGS, kIsEmptyDoc};

// ---- Kivo.is_mixed --------------------------------------------------------------

const char kIsMixedDoc[] =
    "is_mixed($self)\n--\n\n"
    "True when index uses mixed 4-bit/2-bit quantization.\n";

PyObject* kivo_is_mixed(PyObject* self, PyObject*) {
    PyKivo* kivo = as_kivo(self);
    if (kivo == nullptr) return nullptr;
    SharedAccess access(kivo);
    if (!access.ok()) return nullptr;
    const engine::Kivo& engine = engine_of(kivo);
    const uint64_t n4 = engine.n4_dims();
    return PyBool_FromLong(n4 > 0 && n4 < engine.padded_dim());
}
const PyMethodDef kIsMixedMethod{"is_mixed", as_cfunction(kivo_is_mixed), METH_NOARGS, kIsMixedDoc};

// ---- Kivo.profile_variance ------------------------------------------------------

const char* const kProfileParams[] = {"sample_vecs"};
const Signature kProfileSignature{"Kivo.profile_variance()", kProfileParams, 1, 1};

const char kProfileVarianceDoc[] =
    "profile_variance($self, sample_vecs)\n--\n\n"
    "Profile per-dimension variance of RHDH-rotated embeddings.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "sample_vecs : list[list[float]] or numpy.ndarray\n"
    "    Representative sample (50\xE2\x80\x93" "500 vectors).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "list[float]\n"
    "    Per-dimension variance in RHDH-rotated+scaled space (length = padded_dim).\n"
    "    Values close to 1.0 confirm RHDH is equalising the distribution. To pick\n"
    "    a mixed 4-bit/2-bit split from the same sample, use ``optimal_n4_dims``.\n";

PyObject* kivo_profile_variance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kProfileSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);
        std::vector<std::vector<float>> rows;
        if (!extract_vectors(a[0], engine.dim(), rows)) return nullptr;
        auto profile = engine.profile_variance(rows);
        if (!profile) return raise_engine_error(profile.error());
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(profile->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < profile->size(); ++i) {
            PyObject* value = PyFloat_FromDouble(static_cast<double>((*profile)[i]));
            if (value == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
        }
        return list.release();
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kProfileVarianceMethod{"profile_variance", as_cfunction(kivo_profile_variance),
                         METH_FASTCALL | METH_KEYWORDS, kProfileVarianceDoc};

// ---- Kivo.optimal_n4_dims -------------------------------------------------------

const char* const kOptimalParams[] = {"sample_vecs", "avg_bits"};
const Signature kOptimalSignature{"Kivo.optimal_n4_dims()", kOptimalParams, 2, 2};

const char kOptimalN4DimsDoc[] =
    "optimal_n4_dims($self, sample_vecs, avg_bits)\n--\n\n"
    "Compute the optimal n4_dims for a given average bit budget.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "sample_vecs : list[list[float]] or numpy.ndarray\n"
    "    Representative sample (50\xE2\x80\x93" "500 vectors).\n"
    "avg_bits : float\n"
    "    Target average bits per padded dimension [2.0, 4.0]. 3.0 puts half of the\n"
    "    padded dimensions at 4 bits (same as ``mixed_ratio=0.5``); 3.5 puts 75% at\n"
    "    4 bits (recommended for recall of 0.90 and more).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "int\n"
    "    Optimal n4_dims (multiple of 4). Pass it as ``n4_dims`` to the constructor.\n";

PyObject* kivo_optimal_n4_dims(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[2];
        if (!match_fastcall(kOptimalSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);
        // avg_bits first: a bad budget is reported before the sample is read.
        double avg_bits = 0;
        if (!to_f64(a[1], "avg_bits", avg_bits)) return nullptr;
        std::vector<std::vector<float>> rows;
        if (!extract_vectors(a[0], engine.dim(), rows)) return nullptr;
        auto n4 = engine.optimal_n4_dims(rows, avg_bits);
        if (!n4) return raise_engine_error(n4.error());
        return PyLong_FromUnsignedLongLong(*n4);
    } catch (...) {
        return raise_from_cpp_exception();
    }
}
const PyMethodDef kOptimalN4DimsMethod{"optimal_n4_dims", as_cfunction(kivo_optimal_n4_dims),
                         METH_FASTCALL | METH_KEYWORDS, kOptimalN4DimsDoc};

}  // namespace

// In class order.
const PyMethodDef* const binding_methods[] = {
    &kAddMethod,
    &kSearchMethod,
    &kFitMethod,
    &kBuildMethod,
    &kSetEfSearchMethod,
    &kSetNprobeMethod,
    &kSaveMethod,
    &kRecommendedMMethod,
    &kLoadMethod,
    &kIsEmptyMethod,
    &kIsMixedMethod,
    &kProfileVarianceMethod,
    &kOptimalN4DimsMethod,
    // Additions beyond the specified surface follow it.
    &kSearchBatchMethod,
    &kRemoveMethod,
    &kUpsertMethod,
};
const std::size_t binding_method_count = sizeof(binding_methods) / sizeof(binding_methods[0]);

}  // namespace kivo::python
