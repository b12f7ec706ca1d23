// Bindings of Kivo.remove and Kivo.upsert. Both change the index and take
// exclusive access; ids and vectors are converted exactly as add converts
// them, with the same messages.
#include "remove.h"

#include "args.h"
#include "errors.h"
#include "ingest_args.h"
#include "signals.h"
#include "kivo_type.h"

namespace kivo::python {

namespace {

// ---- Kivo.remove ----------------------------------------------------------------

const char* const kRemoveParams[] = {"ids"};
const Signature kRemoveSignature{"Kivo.remove()", kRemoveParams, 1, 1};

const char kRemoveDoc[] =
    "remove($self, ids)\n--\n\n"
    "Remove vectors from the index.\n"
    "\n"
    "Every stored vector whose ID is listed is removed (all of them when an ID\n"
    "was added more than once); IDs that are not stored are ignored. The\n"
    "remaining vectors keep their order, and their memory is given back.\n"
    "\n"
    "- BruteForce: the vectors are gone at once.\n"
    "- IvfFlat: the vectors leave their lists and the vectors still waiting for\n"
    "  ``build()``; the centroids stay.\n"
    "- HNSW: the nodes leave the graph and the nodes that linked to them are\n"
    "  relinked, so the graph stays navigable.\n"
    "\n"
    "A signal (Ctrl-C) stops a long removal with ``KeyboardInterrupt`` and leaves\n"
    "the index unchanged.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "ids : list[int]\n"
    "    IDs of the vectors to remove.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "int\n"
    "    The number of vectors removed (for IvfFlat, vectors waiting for\n"
    "    ``build()`` included).\n";

PyObject* kivo_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[1];
        if (!match_fastcall(kRemoveSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        IngestArgs in;
        if (!convert_ingest_ids(a[0], in)) return nullptr;
        const Result<uint64_t> removed = engine_of(kivo).remove(in.ids, signal_interrupt_check());
        if (!removed) return raise_engine_error(removed.error());
        return PyLong_FromUnsignedLongLong(*removed);
    } catch (...) {
        return raise_from_cpp_exception();
    }
}

// ---- Kivo.upsert ----------------------------------------------------------------

const char* const kUpsertParams[] = {"ids", "vectors"};
const Signature kUpsertSignature{"Kivo.upsert()", kUpsertParams, 2, 2};

const char kUpsertDoc[] =
    "upsert($self, ids, vectors)\n--\n\n"
    "Replace vectors: the vectors stored under each ID give way to the new one.\n"
    "\n"
    "The same as ``remove(ids)`` followed by ``add(ids, vectors)``, in one call:\n"
    "IDs that are not stored are simply added. The arguments follow the rules of\n"
    "``add()``, and a call they make fail leaves the index unchanged. For\n"
    "IvfFlat the new vectors wait for the next ``build()``, as added ones do.\n"
    "\n"
    "A signal (Ctrl-C) during the removal of the old vectors stops the call with\n"
    "``KeyboardInterrupt`` and leaves the index unchanged; once they are removed,\n"
    "the new vectors are all added.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "ids : list[int]\n"
    "    Integer IDs, one for each vector.\n"
    "vectors : list[list[float]] or numpy.ndarray\n"
    "    The new embedding vectors: a list of lists of floats, or a float32\n"
    "    array of shape ``[n, dim]``.\n";

PyObject* kivo_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* a[2];
        if (!match_fastcall(kUpsertSignature, args, nargs, kwnames, a)) return nullptr;
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        ExclusiveAccess access(kivo);
        if (!access.ok()) return nullptr;
        engine::Kivo& engine = engine_of(kivo);

        // Every conversion finishes before the engine is touched: a refused
        // argument leaves the index as it was.
        IngestArgs in;
        if (!convert_ingest_args(a[0], a[1], engine.dim(), in)) return nullptr;
        const InterruptCheck check = signal_interrupt_check();
        return none_or_error(in.is_flat ? engine.upsert_flat(in.ids, in.flat, check)
                                        : engine.upsert(in.ids, in.rows, check));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}

}  // namespace

const PyMethodDef kRemoveMethod{"remove", as_cfunction(kivo_remove), METH_FASTCALL | METH_KEYWORDS, kRemoveDoc};
const PyMethodDef kUpsertMethod{"upsert", as_cfunction(kivo_upsert), METH_FASTCALL | METH_KEYWORDS, kUpsertDoc};

}  // namespace kivo::python
