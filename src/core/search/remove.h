// Removal of vectors by id from the stores that hold codes, ids and norms side
// by side: the brute-force flat store, IVF lists and pending vectors.
#pragma once

#include <cstdint>
#include <vector>

#include "search/filter.h"

namespace kivo::search {

// Parallel stores of one collection: entry j is (ids[j], codes[j * pbv ..],
// norms[j]) and, when present, training[j]. `norms` may be empty (an index
// read from a version 1 file has none); `training` may be null.
struct EntryStore {
    std::vector<uint64_t>& ids;
    std::vector<uint8_t>& codes;
    std::vector<float>& norms;
    std::vector<std::vector<float>>* training = nullptr;
};

// Drops every entry whose id is in `doomed`, keeping the others in their
// order, and gives the freed storage back (the arrays are reallocated to
// their new size rather than left with their old capacity). Returns the
// number of entries dropped.
uint64_t remove_entries(EntryStore store, uint64_t packed_bytes_per_vec, const Allowlist& doomed);

}  // namespace kivo::search
