// Kivo construction, vector count, the runtime tunables and the views of the
// quantizer offered to callers.
#include "engine/engine.h"

#include "quantize/tables.h"

namespace kivo::engine {

Kivo::Kivo(EngineConfig config, quantize::QuantPipeline pipeline)
    : pipeline_(std::move(pipeline)), config_(config) {
    packed_bytes_per_vec_ = pipeline_.packed_bytes_per_vec();
}

Result<Kivo> Kivo::create(const EngineConfig& config) {
    // The bit width is checked before anything (the rotation included) is built.
    if (config.bit_width != 2 && config.bit_width != 4) {
        return std::unexpected(KivoError::invalid_bit_width(config.bit_width));
    }
    auto pipeline = quantize::QuantPipeline::create(config);
    if (!pipeline) return std::unexpected(pipeline.error());
    Kivo kivo(config, std::move(*pipeline));
    if (config.index_type == IndexType::Hnsw) {
        search::Hnsw graph =
            search::Hnsw::create(config.hnsw_m, config.hnsw_ef_construction,
                                 vocab::effective_ef_search(config.hnsw_m, config.hnsw_ef_search),
                                 kivo.packed_bytes_per_vec_, config.hnsw_selection);
        graph.level_mult = vocab::level_multiplier(config.hnsw_m);
        kivo.hnsw_ = std::move(graph);
    }
    return kivo;
}

uint64_t Kivo::len() const {
    if (ivf_) return ivf_->len();
    if (hnsw_) return hnsw_->size();
    return ids_.size();
}

void Kivo::set_ef_search(uint64_t ef) {
    if (hnsw_) hnsw_->ef_search = ef;
}

void Kivo::set_hnsw_selection(HnswSelection selection) {
    if (config_.index_type != IndexType::Hnsw) return;
    config_.hnsw_selection = selection;
    if (hnsw_) hnsw_->selection = selection;
}

void Kivo::set_nprobe(uint64_t nprobe) {
    if (ivf_) ivf_->nprobe = nprobe;
}

std::vector<float> Kivo::transform_query(std::span<const float> query) const {
    return pipeline_.transform_query(query);
}

Result<std::vector<float>> Kivo::profile_variance(std::span<const std::vector<float>> sample) const {
    return quantize::QuantPipeline::profile_variance(config_, sample);
}

Result<uint64_t> Kivo::optimal_n4_dims(std::span<const std::vector<float>> sample, double avg_bits) const {
    return quantize::optimal_n4_dims(config_, sample, avg_bits);
}

std::span<const float> Kivo::centroids_4bit() { return quantize::CENTROIDS_4BIT; }

std::span<const float> Kivo::centroids_2bit() { return quantize::CENTROIDS_2BIT; }

}  // namespace kivo::engine
