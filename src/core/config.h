// The vocabulary every layer shares: Metric, IndexType, EngineConfig, the
// sizes derived from a configuration and the rule that decides whether it is
// valid. Sits beside error.h at the bottom of the core; includes nothing above.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error.h"

namespace kivo::vocab {

enum class Metric : uint8_t { Cosine = 0, Dot = 1, L2 = 2 };
enum class IndexType : uint8_t { BruteForce = 0, IvfFlat = 1, Hnsw = 2 };
// How an HNSW insertion chooses a node's links among its candidates: Diverse
// keeps a candidate only when it is closer to the node than to every link
// already kept (then fills the budget with the best of the rest), so lists
// keep long-range links; Closest takes the best candidates only. A
// construction setting: it is not stored in the file.
enum class HnswSelection : uint8_t { Diverse = 0, Closest = 1 };

// "cosine", "dot", "l2".
std::string_view metric_name(Metric metric);
// "BruteForce", "IvfFlat", "Hnsw".
std::string_view index_type_name(IndexType index_type);
// "diverse", "closest".
std::string_view hnsw_selection_name(HnswSelection selection);
// The value stored under a file byte, or nothing for bytes above 2.
std::optional<Metric> metric_from_byte(uint8_t byte);
std::optional<IndexType> index_type_from_byte(uint8_t byte);

// Every index created by the constructor uses this rotation seed.
inline constexpr uint64_t kDefaultSeed = 0xDEADBEEFCAFE1337ULL;

struct EngineConfig {
    uint64_t dim = 0;
    uint64_t n4_dims = 0;
    uint64_t seed = kDefaultSeed;
    uint64_t ivf_nlist = 0;
    uint64_t ivf_nprobe = 0;
    uint64_t hnsw_m = 0;
    uint64_t hnsw_ef_construction = 0;
    uint64_t hnsw_ef_search = 0;
    HnswSelection hnsw_selection = HnswSelection::Diverse;
    uint8_t bit_width = 4;
    Metric metric = Metric::Cosine;
    IndexType index_type = IndexType::BruteForce;

    bool operator==(const EngineConfig&) const = default;
};

// 1 below dimension 2, else the smallest power of two not below dim. Returns
// nothing when that power does not fit in 64 bits (dim above 2^63).
std::optional<uint64_t> padded_dim_for(uint64_t dim);

// Sizes of the packed layout for a padded dimension and a valid n4_dims.
uint64_t n2_dims_for(uint64_t padded_dim, uint64_t n4_dims);
uint64_t pb4_per_vec_for(uint64_t n4_dims);
uint64_t packed_bytes_per_vec_for(uint64_t padded_dim, uint64_t n4_dims);

// n4_dims must not exceed padded_dim, and must be a multiple of 4 unless it
// equals padded_dim. Refused with InvalidBitWidth carrying bit_width.
Status check_n4_dims(uint64_t n4_dims, uint64_t padded_dim, uint8_t bit_width);

// ef_search of a new graph: hnsw_ef_search, or 2 * hnsw_m when it is 0.
uint64_t effective_ef_search(uint64_t hnsw_m, uint64_t hnsw_ef_search);
// 1 / max(ln(m), 1e-9) in double precision.
double level_multiplier(uint64_t hnsw_m);

}  // namespace kivo::vocab
