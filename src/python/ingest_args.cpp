// Conversion of the ids and vectors of add, upsert and remove.
#include "ingest_args.h"

#include <string>

#include "convert.h"
#include "errors.h"

namespace kivo::python {

bool convert_ingest_ids(PyObject* ids, IngestArgs& out) { return extract_ids(ids, "ids", out.ids); }

bool convert_ingest_args(PyObject* ids, PyObject* vectors, uint64_t dim, IngestArgs& out) {
    if (!convert_ingest_ids(ids, out)) return false;
    switch (direct_batch_view(vectors, dim, out.ids.size(), out.flat, out.scratch)) {
        case ViewResult::Failed: return false;
        case ViewResult::Ready: out.is_flat = true; return true;
        case ViewResult::NotApplicable: break;
    }
    if (!extract_vectors(vectors, dim, out.rows)) return false;
    if (out.rows.size() != out.ids.size()) {
        raise_message(PyExc_ValueError, "ids length (" + std::to_string(out.ids.size()) + ") != vectors length (" +
                                            std::to_string(out.rows.size()) + ")");
        return false;
    }
    return true;
}

}  // namespace kivo::python
