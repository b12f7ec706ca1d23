// Names, byte mappings and derived sizes of the shared vocabulary.
#include "config.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kivo::vocab {

std::string_view metric_name(Metric metric) {
    switch (metric) {
        case Metric::Cosine: return "cosine";
        case Metric::Dot: return "dot";
        case Metric::L2: return "l2";
    }
    return "cosine";
}

std::string_view index_type_name(IndexType index_type) {
    switch (index_type) {
        case IndexType::BruteForce: return "BruteForce";
        case IndexType::IvfFlat: return "IvfFlat";
        case IndexType::Hnsw: return "Hnsw";
    }
    return "BruteForce";
}

std::string_view hnsw_selection_name(HnswSelection selection) {
    return selection == HnswSelection::Closest ? "closest" : "diverse";
}

std::optional<Metric> metric_from_byte(uint8_t byte) {
    if (byte > 2) return std::nullopt;
    return static_cast<Metric>(byte);
}

std::optional<IndexType> index_type_from_byte(uint8_t byte) {
    if (byte > 2) return std::nullopt;
    return static_cast<IndexType>(byte);
}

std::optional<uint64_t> padded_dim_for(uint64_t dim) {
    if (dim < 2) return 1;
    if (dim > (uint64_t{1} << 63)) return std::nullopt;
    return std::bit_ceil(dim);
}

uint64_t n2_dims_for(uint64_t padded_dim, uint64_t n4_dims) { return padded_dim - n4_dims; }

uint64_t pb4_per_vec_for(uint64_t n4_dims) { return n4_dims / 2 + n4_dims % 2; }

uint64_t packed_bytes_per_vec_for(uint64_t padded_dim, uint64_t n4_dims) {
    const uint64_t n2 = n2_dims_for(padded_dim, n4_dims);
    return pb4_per_vec_for(n4_dims) + n2 / 4 + (n2 % 4 != 0 ? 1 : 0);
}

Status check_n4_dims(uint64_t n4_dims, uint64_t padded_dim, uint8_t bit_width) {
    if (n4_dims > padded_dim || (n4_dims < padded_dim && n4_dims % 4 != 0)) {
        return std::unexpected(KivoError::invalid_bit_width(bit_width));
    }
    return {};
}

uint64_t effective_ef_search(uint64_t hnsw_m, uint64_t hnsw_ef_search) {
    // 2 * m wraps for absurd m; such an m cannot be saved anyway.
    return hnsw_ef_search != 0 ? hnsw_ef_search : hnsw_m * 2;
}

double level_multiplier(uint64_t hnsw_m) {
    return 1.0 / std::max(std::log(static_cast<double>(hnsw_m)), 1e-9);
}

}  // namespace kivo::vocab
