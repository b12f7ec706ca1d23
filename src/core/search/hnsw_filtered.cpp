// HNSW pre-filtered queries: the allowed nodes gathered for an exact scan,
// used instead of the filtered walk when the allowlist is small.
#include "search/hnsw.h"

namespace kivo::search {

Gathered Hnsw::allowed_nodes(const Allowlist& filter) const {
    Gathered g;
    for (uint32_t v = 0; v < size(); ++v) {
        if (!filter.contains(id(v))) continue;
        g.codes.push_back(code(v).data());
        g.ids.push_back(id(v));
        g.norms.push_back(norm(v));
    }
    return g;
}

}  // namespace kivo::search
