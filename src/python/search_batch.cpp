// Kivo.search_batch: many queries per call, the engine working on every core
// without the interpreter lock, the answer as two NumPy arrays.
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "kivo_type.h"
#include "pyref.h"
#include "signals.h"

namespace kivo::python {

namespace {

const char* const kParams[] = {"queries", "k", "allowlist", "threads"};
const Signature kSignature{"Kivo.search_batch()", kParams, 4, 2};
constexpr Py_ssize_t kPositional = 3;  // `threads` is keyword-only
// More threads than this buy nothing on any machine this runs on; the answer
// is the same at every count.
constexpr uint64_t kMaxThreads = 256;

bool to_threads(PyObject* obj, unsigned& out) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_argument_error("threads");
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        const std::string got = overflow < 0 ? "a negative number" : std::to_string(value);
        raise_message(PyExc_ValueError, "argument 'threads': must be 0 (every core) or a positive count, got " + got);
        return false;
    }
    const uint64_t wanted = overflow > 0 ? kMaxThreads : static_cast<uint64_t>(value);
    out = static_cast<unsigned>(std::min(wanted, kMaxThreads));
    return true;
}

// While the engine runs without the lock, the interrupt poll takes it back
// for the signal check and gives it up again.
struct UnlockedPoll {
    PyThreadState* saved = nullptr;
    InterruptCheck inner;
    static bool call(void* context) {
        auto* self = static_cast<UnlockedPoll*>(context);
        PyEval_RestoreThread(self->saved);
        const bool stop = self->inner.requested();
        self->saved = PyEval_SaveThread();
        return stop;
    }
};

PyObject* kivo_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        if (PyVectorcall_NARGS(nargs) > kPositional) {
            return raise_message(PyExc_TypeError,
                                 "Kivo.search_batch() takes from 2 to 3 positional arguments but " +
                                     std::to_string(PyVectorcall_NARGS(nargs)) + " were given");
        }
        PyObject* a[4];
        if (!match_fastcall(kSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        // Shared access for the whole call, the unlocked part included: a
        // concurrent add() meets "Already borrowed".
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        const engine::Kivo& engine = engine_of(kivo);

        // k, then the allowlist, then the queries (search's order), then threads.
        uint64_t k = 0;
        if (!to_u64(a[1], "k", k)) return nullptr;
        std::vector<uint64_t> allowlist;
        const bool filtered = a[2] != nullptr && a[2] != Py_None;
        if (filtered && !extract_ids(a[2], "allowlist", allowlist)) return nullptr;
        std::span<const float> queries;
        std::size_t nq = 0;
        std::vector<float> scratch;
        if (!extract_query_batch(a[0], engine.dim(), queries, nq, scratch)) return nullptr;
        unsigned threads = 0;
        if (a[3] != nullptr && !to_threads(a[3], threads)) return nullptr;

        std::optional<std::span<const uint64_t>> filter;
        if (filtered) filter = std::span<const uint64_t>(allowlist);  // empty stays a filter
        UnlockedPoll poll{nullptr, signal_interrupt_check()};
        const InterruptCheck check{&UnlockedPoll::call, &poll};
        Result<engine::BatchResult> result = std::unexpected(KivoError::interrupted());
        poll.saved = PyEval_SaveThread();
        try {
            result = engine.search_batch(queries, nq, k, filter, threads, check);
        } catch (...) {
            PyEval_RestoreThread(poll.saved);
            throw;
        }
        PyEval_RestoreThread(poll.saved);
        if (!result) return raise_engine_error(result.error());

        const std::size_t shape[2] = {static_cast<std::size_t>(result->nq), static_cast<std::size_t>(result->width)};
        PyRef ids = PyRef::steal(new_array_copy(ArrayKind::UInt64, shape, result->ids.data()));
        if (!ids) return nullptr;
        PyRef scores = PyRef::steal(new_array_copy(ArrayKind::Float32, shape, result->scores.data()));
        if (!scores) return nullptr;
        return PyTuple_Pack(2, ids.get(), scores.get());
    } catch (...) {
        return raise_from_cpp_exception();
    }
}


const char kSearchBatchDoc[] =
    "search_batch($self, queries, k, allowlist=None, *, threads=0)\n--\n\n"
    "Search for the K nearest neighbors of many queries at once.\n"
    "\n"
    "Without an allowlist, row i is exactly ``search(queries[i], k)``: the same\n"
    "ids in the same order and the same scores, whatever ``threads`` is.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "queries : numpy.ndarray or list[list[float]]\n"
    "    A float32 matrix of shape ``[nq, dim]`` (a C-ordered array is read in\n"
    "    place); other arrays and lists of lists are converted once.\n"
    "k : int\n"
    "    Number of results per query.\n"
    "allowlist : list[int], optional\n"
    "    If provided, only these IDs are candidates, for every index type\n"
    "    (pre-filtered): IVF-Flat scores only allowed vectors of the lists it\n"
    "    probes (probing further lists until it has k), HNSW walks the graph\n"
    "    through every node but keeps only allowed ones, and both scan the\n"
    "    allowed vectors exactly when there are few of them. Each row then holds\n"
    "    k results whenever k allowed ids are stored. ``search`` keeps its\n"
    "    post-filter on IVF-Flat and HNSW (it filters the top k afterwards).\n"
    "threads : int, keyword-only\n"
    "    Threads to use: 0 (default) = every core this process may run on,\n"
    "    1 = the calling thread only. The answer never depends on it.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(ids, scores) : tuple[numpy.ndarray, numpy.ndarray]\n"
    "    New arrays of shape ``[nq, min(k, len(index))]``: ``ids`` uint64 and\n"
    "    ``scores`` float32, each row sorted by score descending. A row with\n"
    "    fewer results is padded with id ``2**64 - 1`` and score ``-inf``; its\n"
    "    result count is ``(ids[i] != 2**64 - 1).sum()``.\n"
    "\n"
    "The interpreter lock is released while the engine works; the index stays\n"
    "borrowed for the whole call, so ``add`` from another thread meanwhile\n"
    "raises RuntimeError \"Already borrowed\". Ctrl-C stops the call.\n";

}  // namespace

const PyMethodDef kSearchBatchMethod{"search_batch", as_cfunction(kivo_search_batch), METH_FASTCALL | METH_KEYWORDS,
                                     kSearchBatchDoc};

}  // namespace kivo::python
