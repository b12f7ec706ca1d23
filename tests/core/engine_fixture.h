// Small engine indexes for the engine-level tests: a configuration with the
// lists and the graph sized for a few hundred vectors, and creation that
// fails the test (not the process) when the configuration is refused.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "engine/engine.h"

namespace kivo::testing {

// Sizes of the search structures; each is set only for its own index type.
struct IndexSizes {
    uint64_t ivf_nlist = 4;
    uint64_t ivf_nprobe = 2;
    uint64_t hnsw_m = 8;
    uint64_t hnsw_ef_construction = 40;
    uint64_t hnsw_ef_search = 0;
};

inline engine::EngineConfig small_config(uint64_t dim, engine::IndexType type, engine::Metric metric,
                                         uint8_t bit_width, uint64_t n4_dims, const IndexSizes& sizes = {}) {
    engine::EngineConfig c;
    c.dim = dim;
    c.bit_width = bit_width;
    c.metric = metric;
    c.index_type = type;
    c.n4_dims = n4_dims;
    if (type == engine::IndexType::IvfFlat) {
        c.ivf_nlist = sizes.ivf_nlist;
        c.ivf_nprobe = sizes.ivf_nprobe;
    }
    if (type == engine::IndexType::Hnsw) {
        c.hnsw_m = sizes.hnsw_m;
        c.hnsw_ef_construction = sizes.hnsw_ef_construction;
        c.hnsw_ef_search = sizes.hnsw_ef_search;
    }
    return c;
}

inline engine::Kivo make(const engine::EngineConfig& c) {
    auto k = engine::Kivo::create(c);
    EXPECT_TRUE(k) << (k ? "" : k.error().message());
    return std::move(*k);
}

}  // namespace kivo::testing
