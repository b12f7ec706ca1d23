// Ingest: add, add_flat, fit and build.
#include <cmath>

#include "engine/engine.h"
#include "large_buffer.h"

namespace kivo::engine {

void Kivo::ingest_one(uint64_t id, std::span<const float> vector) {
    std::vector<uint8_t> code = pipeline_.encode(vector);
    const float norm = pipeline_.compute_norm(code);
    switch (config_.index_type) {
        case IndexType::BruteForce:
        case IndexType::IvfFlat:
            if (config_.index_type == IndexType::IvfFlat) {
                training_vectors_.push_back(pipeline_.transform_query(vector));
            }
            ids_.push_back(id);
            reserve_large(codes_, codes_.size() + code.size());
            codes_.insert(codes_.end(), code.begin(), code.end());
            norms_.push_back(norm);
            break;
        case IndexType::Hnsw: {
            if (!hnsw_) {
                hnsw_ = search::Hnsw::create(config_.hnsw_m, config_.hnsw_ef_construction,
                                             vocab::effective_ef_search(config_.hnsw_m, config_.hnsw_ef_search),
                                             packed_bytes_per_vec_, config_.hnsw_selection);
                hnsw_->level_mult = vocab::level_multiplier(config_.hnsw_m);
            }
            // After build() or a load the construction vectors are gone;
            // insertion scores against them, so they are rebuilt from the
            // codes first.
            if (!hnsw_->has_all_vectors()) hnsw_->restore_vectors(pipeline_, config_.metric);
            hnsw_->insert(code, norm, pipeline_.transform_query(vector), id, config_.metric);
            break;
        }
    }
}

Status Kivo::add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
                 const InterruptCheck& interrupt) {
    if (ids.size() != vectors.size()) {
        return std::unexpected(KivoError::id_count_mismatch(ids.size(), vectors.size()));
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        // Vectors accepted before a failing one (or an interrupt) stay stored.
        if (vectors[i].size() != config_.dim) {
            return std::unexpected(KivoError::dimension_mismatch(config_.dim, vectors[i].size()));
        }
        if (interrupt.requested()) return std::unexpected(KivoError::interrupted());
        ingest_one(ids[i], vectors[i]);
    }
    return {};
}

Status Kivo::add_flat(std::span<const uint64_t> ids, std::span<const float> data, const InterruptCheck& interrupt) {
    const uint64_t dim = config_.dim;
    // Compared by division so that ids x dim cannot wrap.
    if (dim == 0 || data.size() % dim != 0 || data.size() / dim != ids.size()) {
        return std::unexpected(KivoError::id_count_mismatch(ids.size(), dim == 0 ? 0 : data.size() / dim));
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (interrupt.requested()) return std::unexpected(KivoError::interrupted());
        ingest_one(ids[i], data.subspan(i * dim, dim));
    }
    return {};
}

Status Kivo::fit(std::span<const std::vector<float>> vectors) {
    if (config_.metric != Metric::L2) return {};
    if (len() > 0) return std::unexpected(KivoError::fit_after_add());
    if (vectors.empty()) return std::unexpected(KivoError::empty_sample());
    for (const auto& v : vectors) {
        if (v.size() != config_.dim) return std::unexpected(KivoError::dimension_mismatch(config_.dim, v.size()));
    }
    // One pooled mean and deviation over every value, in float64.
    double s1 = 0.0;
    double s2 = 0.0;
    for (const auto& v : vectors) {
        for (float x : v) {
            const double d = x;
            s1 += d;
            s2 += d * d;
        }
    }
    const double count = static_cast<double>(vectors.size()) * static_cast<double>(config_.dim);
    const double mean = count > 0.0 ? s1 / count : 0.0;
    double var = count > 0.0 ? s2 / count - mean * mean : 0.0;
    if (var < 0.0) var = 0.0;
    const float inv = var > 1e-10 ? static_cast<float>(1.0 / std::sqrt(var)) : 1.0f;
    quantize::StdParams params;
    params.mean.assign(config_.dim, static_cast<float>(mean));
    params.inv_std.assign(config_.dim, inv);
    pipeline_.set_std_params(std::move(params));
    return {};
}

Status Kivo::build(const InterruptCheck& interrupt) {
    switch (config_.index_type) {
        case IndexType::BruteForce: return {};
        case IndexType::Hnsw:
            if (hnsw_) hnsw_->release_vectors();
            return {};
        case IndexType::IvfFlat: break;
    }
    // Nothing pending (first build or later): "index is empty", unchanged.
    if (ids_.empty()) return std::unexpected(KivoError::empty_index());
    if (ivf_ && !ivf_->lists.empty()) {
        // Later builds keep the trained centroids (the earlier training
        // vectors are gone) and append the pending vectors to their best
        // lists, in the order they were added.
        if (auto ok = ivf_->append(ids_, codes_, norms_, training_vectors_, interrupt); !ok) return ok;
    } else {
        auto built = search::IvfFlat::build(config_.ivf_nlist, config_.ivf_nprobe, packed_bytes_per_vec_,
                                            pipeline_.padded_dim(), ids_, codes_, norms_, training_vectors_,
                                            config_.seed, config_.metric, interrupt);
        if (!built) return std::unexpected(built.error());
        ivf_ = std::move(*built);
    }
    std::vector<uint8_t>().swap(codes_);
    std::vector<uint64_t>().swap(ids_);
    std::vector<float>().swap(norms_);
    std::vector<std::vector<float>>().swap(training_vectors_);
    return {};
}

}  // namespace kivo::engine
