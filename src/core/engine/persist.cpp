// Kivo::save, Kivo::load and Kivo::load_mmap: the engine to and from the
// .kivo file (header, standardization section, body of the index type).
#include <limits>
#include <string>
#include <string_view>
#include <tuple>

#include "engine/engine.h"
#include "io/file.h"
#include "io/format.h"

namespace kivo::engine {

namespace {

constexpr std::string_view kHnswV4Text =
    "HNSW index version 4 is incompatible with v5 format (neighbor count type changed u8\u2192u16). "
    "Rebuild the index with the current version.";

// What the constructor gives an index of this type when the caller passes no
// values: its own parameters at their defaults, the other types' at 0. Files
// before version 4 do not store these parameters.
void apply_constructor_defaults(EngineConfig& config) {
    config.ivf_nlist = config.ivf_nprobe = 0;
    config.hnsw_m = config.hnsw_ef_construction = config.hnsw_ef_search = 0;
    if (config.index_type == IndexType::IvfFlat) {
        config.ivf_nlist = 256;
        config.ivf_nprobe = 8;
    } else if (config.index_type == IndexType::Hnsw) {
        config.hnsw_m = 32;
        config.hnsw_ef_construction = 200;
    }
}

// A value that the file cannot hold is refused, never cut down.
Status check_fits(std::string_view field, uint64_t value, unsigned bits) {
    const uint64_t max = bits >= 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
    if (value > max) {
        return std::unexpected(KivoError::io_text(std::string(field) + " " + std::to_string(value) +
                                                  " does not fit the file's " + std::to_string(bits) +
                                                  "-bit field"));
    }
    return {};
}

std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}


}  // namespace

// ---- save ----------------------------------------------------------------------

Status Kivo::save(const std::string& path) const {
    const IndexType type = config_.index_type;
    if (type == IndexType::Hnsw && !hnsw_) return std::unexpected(KivoError::not_implemented("Hnsw"));
    if (type == IndexType::IvfFlat && !ivf_) return std::unexpected(KivoError::not_built());
    const uint64_t pbv = packed_bytes_per_vec_;

    // Everything that could refuse the index is decided before the file is
    // created, so a refused save leaves no file behind.
    for (auto [field, value, bits] : {std::tuple<std::string_view, uint64_t, unsigned>{"dim", config_.dim, 32},
                                      {"n4_dims", config_.n4_dims, 32},
                                      {"ivf_nlist", config_.ivf_nlist, 32},
                                      {"ivf_nprobe", config_.ivf_nprobe, 32},
                                      {"hnsw_m", config_.hnsw_m, 16},
                                      {"hnsw_ef_construction", config_.hnsw_ef_construction, 16},
                                      {"hnsw_ef_search", config_.hnsw_ef_search, 16}}) {
        if (auto ok = check_fits(field, value, bits); !ok) return ok;
    }
    const auto& std_params = pipeline_.std_params();
    if (std_params && (std_params->mean.size() != config_.dim || std_params->inv_std.size() != config_.dim)) {
        return std::unexpected(KivoError::io_text("standardization parameters do not hold dim values"));
    }

    // Norms of the flat store. An index read from a version 1 file has none:
    // each norm is the norm of its code, so the file written is complete.
    const uint64_t n_flat = ids_.size();
    std::vector<float> computed_norms;
    std::span<const float> flat_norms = norms_;
    if (norms_.size() != n_flat) {
        computed_norms.reserve(n_flat);
        for (uint64_t i = 0; i < n_flat; ++i) {
            computed_norms.push_back(pipeline_.compute_norm({codes_.data() + i * pbv, pbv}));
        }
        flat_norms = computed_norms;
    }

    uint64_t n_vectors = 0;
    // IvfFlat: vectors added after the last build() go into the lists that the
    // next build() would give them (the best existing centroid), so they are
    // not lost; the engine in memory is not changed.
    std::vector<std::vector<uint64_t>> pending_by_list;
    if (type == IndexType::BruteForce) {
        n_vectors = n_flat;
    } else if (type == IndexType::IvfFlat) {
        const auto& lists = ivf_->lists;
        if (auto ok = check_fits("IVF list count", lists.size(), 32); !ok) return ok;
        const uint64_t centroid_len = lists.empty() ? 0 : lists.front().centroid.size();
        if (auto ok = check_fits("IVF centroid length", centroid_len, 32); !ok) return ok;
        for (const auto& list : lists) {
            if (list.centroid.size() != centroid_len) {
                return std::unexpected(KivoError::io_text("IVF lists do not share one centroid length"));
            }
        }
        if (n_flat > 0) {
            if (lists.empty()) {
                return std::unexpected(KivoError::io_text(
                    std::to_string(n_flat) +
                    " vectors added after build() have no list to go into; call build() before save()"));
            }
            // The pending vectors are the latest additions: their training
            // vectors are the last n_flat entries.
            if (training_vectors_.size() < n_flat) {
                return std::unexpected(KivoError::io_text("vectors added after build() lack their training vectors"));
            }
            const uint64_t first = training_vectors_.size() - n_flat;
            pending_by_list.resize(lists.size());
            for (uint64_t j = 0; j < n_flat; ++j) {
                pending_by_list[ivf_->best_list(training_vectors_[first + j])].push_back(j);
            }
        }
        for (uint64_t l = 0; l < lists.size(); ++l) {
            const uint64_t pending = pending_by_list.empty() ? 0 : pending_by_list[l].size();
            if (auto ok = check_fits("IVF list size", lists[l].size() + pending, 32); !ok) return ok;
            n_vectors += lists[l].size() + pending;
        }
    } else {
        if (auto ok = hnsw_->check_writable(); !ok) return ok;
        n_vectors = hnsw_->size();
    }

    io::Header header;
    header.dim = static_cast<uint32_t>(config_.dim);
    header.metric = static_cast<uint8_t>(config_.metric);
    header.bit_width = config_.bit_width;
    header.index_type = static_cast<uint8_t>(type);
    header.n_vectors = n_vectors;
    header.seed = config_.seed;
    header.n4_dims = config_.n4_dims;
    header.ivf_nlist = static_cast<uint32_t>(config_.ivf_nlist);
    header.ivf_nprobe = static_cast<uint32_t>(config_.ivf_nprobe);
    header.hnsw_m = static_cast<uint16_t>(config_.hnsw_m);
    header.hnsw_ef_construction = static_cast<uint16_t>(config_.hnsw_ef_construction);
    header.hnsw_ef_search = static_cast<uint16_t>(config_.hnsw_ef_search);
    header.has_std_params = std_params.has_value();

    auto writer = io::FileWriter::create(path);
    if (!writer) return std::unexpected(writer.error());
    io::FileWriter& out = *writer;

    if (auto ok = io::Header::write(header, out); !ok) return ok;
    if (std_params) {
        if (auto ok = out.write_f32_array(std_params->mean); !ok) return ok;
        if (auto ok = out.write_f32_array(std_params->inv_std); !ok) return ok;
    }

    if (type == IndexType::BruteForce) {
        if (auto ok = out.write(codes_); !ok) return ok;
        if (auto ok = out.write_u64_array(ids_); !ok) return ok;
        if (auto ok = out.write_f32_array(flat_norms); !ok) return ok;
    } else if (type == IndexType::IvfFlat) {
        const auto& lists = ivf_->lists;
        const uint64_t centroid_len = lists.empty() ? 0 : lists.front().centroid.size();
        if (auto ok = out.write_u32(static_cast<uint32_t>(lists.size())); !ok) return ok;
        if (auto ok = out.write_u32(static_cast<uint32_t>(centroid_len)); !ok) return ok;
        auto write_member = [&](uint64_t id, const uint8_t* code, float norm) -> Status {
            if (auto ok = out.write_u64(id); !ok) return ok;
            if (auto ok = out.write({code, pbv}); !ok) return ok;
            return out.write_f32(norm);
        };
        for (uint64_t l = 0; l < lists.size(); ++l) {
            const auto& list = lists[l];
            const uint64_t pending = pending_by_list.empty() ? 0 : pending_by_list[l].size();
            if (auto ok = out.write_f32_array(list.centroid); !ok) return ok;
            if (auto ok = out.write_u32(static_cast<uint32_t>(list.size() + pending)); !ok) return ok;
            for (uint64_t j = 0; j < list.size(); ++j) {
                if (auto ok = write_member(list.ids[j], list.codes.data() + j * pbv, list.norms[j]); !ok) {
                    return ok;
                }
            }
            for (uint64_t k = 0; k < pending; ++k) {
                const uint64_t j = pending_by_list[l][k];
                if (auto ok = write_member(ids_[j], codes_.data() + j * pbv, flat_norms[j]); !ok) return ok;
            }
        }
    } else {
        const auto& graph = *hnsw_;
        std::vector<uint8_t> link_bytes;
        if (auto ok = out.write_u32(static_cast<uint32_t>(graph.size())); !ok) return ok;
        if (auto ok = out.write_u32(graph.entry_point.value_or(io::kNoEntryPoint)); !ok) return ok;
        if (auto ok = out.write_u32(static_cast<uint32_t>(graph.max_level)); !ok) return ok;
        for (uint32_t node = 0; node < graph.size(); ++node) {
            if (auto ok = out.write_u64(graph.id(node)); !ok) return ok;
            if (auto ok = out.write(graph.code(node)); !ok) return ok;
            if (auto ok = out.write_f32(graph.norm(node)); !ok) return ok;
            if (auto ok = out.write_u8(static_cast<uint8_t>(graph.level(node) + 1)); !ok) return ok;
            for (uint64_t layer = 0; layer <= graph.level(node); ++layer) {
                const std::span<const uint32_t> list = graph.links(node, layer);
                // The count and the indexes of a list in one write.
                link_bytes.resize(2 + 4 * list.size());
                const auto count = static_cast<uint16_t>(list.size());
                link_bytes[0] = static_cast<uint8_t>(count);
                link_bytes[1] = static_cast<uint8_t>(count >> 8);
                for (std::size_t c = 0; c < list.size(); ++c) {
                    const uint32_t target = list[c];
                    for (int b = 0; b < 4; ++b) link_bytes[2 + 4 * c + b] = static_cast<uint8_t>(target >> (8 * b));
                }
                if (auto ok = out.write(link_bytes); !ok) return ok;
            }
        }
    }
    // The last buffered bytes and the close are part of the save: a failure
    // of either is reported, never passed off as success.
    return out.finish();
}

// ---- load ----------------------------------------------------------------------

Result<Kivo> Kivo::load_body(io::ByteReader& reader, const io::Header& header) {
    auto unexpected = [](const KivoError& error) { return std::unexpected(error); };
    auto eof = [] { return std::unexpected(KivoError::io_unexpected_eof()); };

    const auto metric = vocab::metric_from_byte(header.metric);
    if (!metric) return unexpected(KivoError::invalid_metric(header.metric));
    const auto type = vocab::index_type_from_byte(header.index_type);
    if (!type) return unexpected(KivoError::unsupported_index_type(header.index_type));

    // Sizes come from arithmetic on the header alone; the rotation is built
    // last, once the body has shown that the file holds what it announces.
    const uint64_t padded = vocab::padded_dim_for(header.dim).value_or(1);
    if (auto ok = vocab::check_n4_dims(header.n4_dims, padded, header.bit_width); !ok) return unexpected(ok.error());
    const uint64_t pbv = vocab::packed_bytes_per_vec_for(padded, header.n4_dims);

    EngineConfig config;
    config.dim = header.dim;
    config.n4_dims = header.n4_dims;
    config.seed = header.seed;
    config.bit_width = header.bit_width;
    config.metric = *metric;
    config.index_type = *type;
    if (io::Header::stores_index_params(header.version)) {
        config.ivf_nlist = header.ivf_nlist;
        config.ivf_nprobe = header.ivf_nprobe;
        config.hnsw_m = header.hnsw_m;
        config.hnsw_ef_construction = header.hnsw_ef_construction;
        config.hnsw_ef_search = header.hnsw_ef_search;
    } else {
        apply_constructor_defaults(config);
    }

    std::optional<quantize::StdParams> std_params;
    if (header.has_std_params) {
        if (auto ok = reader.require(uint64_t{header.dim} * 8); !ok) return unexpected(ok.error());
        auto mean = reader.read_f32_array(header.dim);
        if (!mean) return unexpected(mean.error());
        auto inv_std = reader.read_f32_array(header.dim);
        if (!inv_std) return unexpected(inv_std.error());
        std_params = quantize::StdParams{std::move(*mean), std::move(*inv_std)};
    }

    std::vector<uint8_t> codes;
    std::vector<uint64_t> ids;
    std::vector<float> norms;
    std::optional<search::IvfFlat> ivf;
    std::optional<search::Hnsw> graph;
    switch (*type) {
        case IndexType::Hnsw: {
            if (header.version == 4) return unexpected(KivoError::invalid_format(std::string(kHnswV4Text)));
            auto read = search::Hnsw::read_data(reader, pbv, config.hnsw_m, config.hnsw_ef_construction,
                                                vocab::effective_ef_search(config.hnsw_m, config.hnsw_ef_search));
            if (!read) return unexpected(read.error());
            graph = std::move(*read);
            break;
        }
        case IndexType::IvfFlat: {
            auto read = search::IvfFlat::read_data(reader, pbv, config.ivf_nprobe, *metric);
            if (!read) return unexpected(read.error());
            if (!read->lists.empty() && read->dim != padded) {
                return unexpected(KivoError::invalid_format(
                    "IVF centroid length " + std::to_string(read->dim) + " does not match the padded dimension " +
                    std::to_string(padded)));
            }
            ivf = std::move(*read);
            break;
        }
        case IndexType::BruteForce: {
            const uint64_t n = header.n_vectors;
            // Codes, ids and (from version 2) norms must all be there before
            // any of them is allocated.
            const uint64_t per_vector = pbv + 8 + (header.version >= 2 ? 4 : 0);
            const auto body = checked_mul(n, per_vector);
            if (!body || *body > reader.remaining()) return eof();
            auto read_codes = reader.read_bytes(n * pbv);
            if (!read_codes) return unexpected(read_codes.error());
            codes = std::move(*read_codes);
            auto read_ids = reader.read_u64_array(n);
            if (!read_ids) return unexpected(read_ids.error());
            ids = std::move(*read_ids);
            if (header.version >= 2) {
                auto read_norms = reader.read_f32_array(n);
                if (!read_norms) return unexpected(read_norms.error());
                norms = std::move(*read_norms);
            }
            break;
        }
    }

    auto pipeline = quantize::QuantPipeline::create(config);
    if (!pipeline) return unexpected(pipeline.error());
    if (std_params) pipeline->set_std_params(std::move(*std_params));

    Kivo engine(config, std::move(*pipeline));
    engine.codes_ = std::move(codes);
    engine.ids_ = std::move(ids);
    engine.norms_ = std::move(norms);
    engine.packed_bytes_per_vec_ = pbv;
    engine.training_vectors_.clear();
    engine.ivf_ = std::move(ivf);
    engine.hnsw_ = std::move(graph);
    return engine;
}

Result<Kivo> Kivo::load(const std::string& path) {
    auto reader = io::FileReader::open(path);
    if (!reader) return std::unexpected(reader.error());
    auto header = io::Header::read(*reader);
    if (!header) return std::unexpected(header.error());
    return load_body(*reader, *header);
}

Result<Kivo> Kivo::load_mmap(const std::string& path) {
    {
        auto reader = io::FileReader::open(path);
        if (!reader) return std::unexpected(reader.error());
        auto header = io::Header::read(*reader);
        if (!header) return std::unexpected(header.error());
        if (!vocab::metric_from_byte(header->metric)) {
            return std::unexpected(KivoError::invalid_metric(header->metric));
        }
        const auto type = vocab::index_type_from_byte(header->index_type);
        if (!type) return std::unexpected(KivoError::unsupported_index_type(header->index_type));
        if (*type != IndexType::BruteForce) return load(path);
    }
    // The map is released when this function returns; the engine owns copies.
    auto map = io::MappedFile::open(path);
    if (!map) return std::unexpected(map.error());
    io::SpanReader reader(map->bytes());
    auto header = io::Header::read(reader);
    if (!header) return std::unexpected(header.error());
    return load_body(reader, *header);
}

}  // namespace kivo::engine
