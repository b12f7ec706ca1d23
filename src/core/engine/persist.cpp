// Kivo::save, Kivo::load and Kivo::load_mmap: the engine to and from the
// .kivo file (header, standardization section, body of the index type).
#include <cmath>
#include <cstdio>
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

std::string describe(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

// A stored norm is the Euclidean norm of a code's centroid values: always a
// finite number, never negative. Anything else cannot come from this writer
// and would poison the ordering of every search, so the file is refused.
Status check_norm(float norm, const std::string& owner) {
    if (std::isfinite(norm) && norm >= 0.0f) return {};
    return std::unexpected(KivoError::invalid_format("norm of " + owner + " is " + describe(norm) +
                                                     "; stored norms are finite and not negative"));
}

// fit() writes a reciprocal deviation of at most 1e5 or exactly 1: always
// finite and positive. (The mean may be anything fit() met, NaN included, and
// k-means centroids may hold what the training vectors held, so neither is
// checked.)
Status check_inv_std(std::span<const float> inv_std) {
    for (std::size_t i = 0; i < inv_std.size(); ++i) {
        if (std::isfinite(inv_std[i]) && inv_std[i] > 0.0f) continue;
        return std::unexpected(KivoError::invalid_format(
            "standardization inv_std[" + std::to_string(i) + "] is " + describe(inv_std[i]) +
            "; stored values are finite and positive"));
    }
    return {};
}


}  // namespace

// ---- save ----------------------------------------------------------------------

Status Kivo::save(const std::string& path, const InterruptCheck& interrupt) const {
    return save_with_faults(path, io::WriteFaults{}, interrupt);
}

Status Kivo::save_with_faults(const std::string& path, const io::WriteFaults& faults,
                              const InterruptCheck& interrupt) const {
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

    // Norms of the flat store: each is the norm of its code, so a store that
    // lacked them would still give a complete file.
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
                if (j % 256 == 0 && interrupt.requested()) return std::unexpected(KivoError::interrupted());
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
        n_vectors = hnsw_->nodes.size();
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

    // The new file replaces the old one only when it is complete: any
    // failure or interrupt below leaves the old file as it was.
    auto writer = io::FileWriter::create(path, interrupt, faults);
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
        if (auto ok = out.write_u32(static_cast<uint32_t>(graph.nodes.size())); !ok) return ok;
        if (auto ok = out.write_u32(graph.entry_point.value_or(io::kNoEntryPoint)); !ok) return ok;
        if (auto ok = out.write_u32(static_cast<uint32_t>(graph.max_level)); !ok) return ok;
        for (const auto& node : graph.nodes) {
            if (auto ok = out.write_u64(node.id); !ok) return ok;
            if (auto ok = out.write(node.codes); !ok) return ok;
            if (auto ok = out.write_f32(node.norm); !ok) return ok;
            if (auto ok = out.write_u8(static_cast<uint8_t>(node.neighbours.size())); !ok) return ok;
            for (const auto& list : node.neighbours) {
                // The count and the indexes of a list in one write.
                link_bytes.resize(2 + 4 * list.size());
                const auto count = static_cast<uint16_t>(list.size());
                link_bytes[0] = static_cast<uint8_t>(count);
                link_bytes[1] = static_cast<uint8_t>(count >> 8);
                for (std::size_t c = 0; c < list.size(); ++c) {
                    const uint32_t target = list[c].node;
                    for (int b = 0; b < 4; ++b) link_bytes[2 + 4 * c + b] = static_cast<uint8_t>(target >> (8 * b));
                }
                if (auto ok = out.write(link_bytes); !ok) return ok;
            }
        }
    }
    // The last buffered bytes, the fsync, the close and the rename are part of
    // the save: a failure of any is reported, never passed off as success.
    return out.commit();
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
        if (auto ok = check_inv_std(*inv_std); !ok) return unexpected(ok.error());
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
            for (std::size_t i = 0; i < read->nodes.size(); ++i) {
                if (auto ok = check_norm(read->nodes[i].norm, "HNSW node " + std::to_string(i)); !ok) {
                    return unexpected(ok.error());
                }
            }
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
            for (std::size_t l = 0; l < read->lists.size(); ++l) {
                const auto& list_norms = read->lists[l].norms;
                for (std::size_t j = 0; j < list_norms.size(); ++j) {
                    auto ok = check_norm(list_norms[j], "IVF list " + std::to_string(l) + " member " + std::to_string(j));
                    if (!ok) return unexpected(ok.error());
                }
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
                for (std::size_t i = 0; i < norms.size(); ++i) {
                    if (auto ok = check_norm(norms[i], "vector " + std::to_string(i)); !ok) {
                        return unexpected(ok.error());
                    }
                }
            }
            break;
        }
    }

    // The rotation's signs are drawn at its first use, not here: loading
    // costs what the file holds, whatever dimension its header names.
    auto pipeline = quantize::QuantPipeline::create(config);
    if (!pipeline) return unexpected(pipeline.error());
    if (std_params) pipeline->set_std_params(std::move(*std_params));

    // A version 1 file stores no norms. Each norm is the norm of its code,
    // so it is computed now: the index then answers exactly as it will after
    // a save (which writes the norms) and a reload.
    if (*type == IndexType::BruteForce && header.version < 2) {
        const uint64_t n = ids.size();
        norms.reserve(n);
        for (uint64_t i = 0; i < n; ++i) norms.push_back(pipeline->compute_norm({codes.data() + i * pbv, pbv}));
    }

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

Result<Kivo> Kivo::load(const std::string& path, const InterruptCheck& interrupt) {
    // read(2) into memory the engine owns: a file that is cut short or
    // rewritten meanwhile gives an error or other bytes, never a fault.
    auto reader = io::FileReader::open(path, interrupt);
    if (!reader) return std::unexpected(reader.error());
    auto header = io::Header::read(*reader);
    if (!header) return std::unexpected(header.error());
    return load_body(*reader, *header);
}

Result<Kivo> Kivo::load_mmap(const std::string& path, const InterruptCheck& interrupt) {
    // A memory map would be no faster for what a load does (copy every byte
    // into the engine) and would turn a file cut short by another process
    // into SIGBUS; both names read the file the same way.
    return load(path, interrupt);
}

}  // namespace kivo::engine
