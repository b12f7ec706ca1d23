// Hnsw::read_data: the HNSW section of an index file, read into a graph and
// checked so that a damaged file cannot lead a search out of bounds.
#include <string>

#include "config.h"
#include "io/file.h"
#include "io/format.h"
#include "search/hnsw.h"

namespace kivo::search {

namespace {

std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

KivoError bad_graph(const std::string& text) { return KivoError::invalid_format(text); }

// The invariants a search relies on: an entry node exactly when there are
// nodes, at the top level; every link inside the graph and to a node that
// has the layer it is on.
Status check_graph(const Hnsw& graph) {
    using std::to_string;
    const uint64_t n = graph.size();
    if (n == 0) {
        if (graph.entry_point) {
            return std::unexpected(bad_graph("HNSW entry point " + to_string(*graph.entry_point) +
                                             " in a graph without nodes"));
        }
        if (graph.max_level != 0) {
            return std::unexpected(bad_graph("HNSW max_level " + to_string(graph.max_level) +
                                             " in a graph without nodes"));
        }
        return {};
    }
    if (!graph.entry_point) {
        return std::unexpected(bad_graph("HNSW graph of " + to_string(n) + " nodes has no entry point"));
    }
    const uint32_t entry = *graph.entry_point;
    if (entry >= n) {
        return std::unexpected(bad_graph("HNSW entry point " + to_string(entry) + " is out of range for " +
                                         to_string(n) + " nodes"));
    }
    if (graph.level(entry) != graph.max_level) {
        return std::unexpected(bad_graph("HNSW entry node " + to_string(entry) + " has level " +
                                         to_string(graph.level(entry)) + ", not max_level " +
                                         to_string(graph.max_level)));
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (graph.level(i) > graph.max_level) {
            return std::unexpected(bad_graph("HNSW node " + to_string(i) + " has level " +
                                             to_string(graph.level(i)) + " above max_level " +
                                             to_string(graph.max_level)));
        }
        for (uint64_t layer = 0; layer <= graph.level(i); ++layer) {
            for (const uint32_t target : graph.links(i, layer)) {
                if (target >= n) {
                    return std::unexpected(bad_graph("HNSW node " + to_string(i) + " links to node " +
                                                     to_string(target) + " on layer " + to_string(layer) +
                                                     ", out of range for " + to_string(n) + " nodes"));
                }
                if (graph.level(target) < layer) {
                    return std::unexpected(bad_graph("HNSW node " + to_string(i) + " links on layer " +
                                                     to_string(layer) + " to node " + to_string(target) +
                                                     " of level " + to_string(graph.level(target))));
                }
            }
        }
    }
    return {};
}

}  // namespace

Status Hnsw::check_writable() const {
    using std::to_string;
    auto refuse = [](const std::string& text) { return Status(std::unexpected(KivoError::io_text(text))); };
    if (size() >= io::kNoEntryPoint) {
        return refuse("HNSW node count " + to_string(size()) + " does not fit the file's 32-bit node indexes");
    }
    if (max_level > 0xFFFFFFFFu) {
        return refuse("HNSW max_level " + to_string(max_level) + " does not fit the file's 32-bit field");
    }
    // Levels are at most kMaxLevel (254), so every node's list count fits
    // its byte; list lengths are bounded by the strides.
    for (uint32_t i = 0; i < size(); ++i) {
        for (uint64_t layer = 0; layer <= level(i); ++layer) {
            const std::size_t count = links(i, layer).size();
            if (count > 65535) {
                return refuse("HNSW node " + to_string(i) + " has " + to_string(count) + " links on layer " +
                              to_string(layer) + ", more than the file's 16-bit field holds");
            }
        }
    }
    return {};
}

Result<Hnsw> Hnsw::read_data(io::ByteReader& reader, uint64_t packed_bytes_per_vec, uint64_t m,
                             uint64_t ef_construction, uint64_t ef_search) {
    auto unexpected = [](const KivoError& error) { return std::unexpected(error); };
    auto eof = [] { return std::unexpected(KivoError::io_unexpected_eof()); };

    auto n_nodes = reader.read_u32();
    if (!n_nodes) return unexpected(n_nodes.error());
    auto entry = reader.read_u32();
    if (!entry) return unexpected(entry.error());
    auto max_level = reader.read_u32();
    if (!max_level) return unexpected(max_level.error());

    // A node record is at least its id, code, norm and list count.
    const uint64_t node_min = packed_bytes_per_vec + 13;
    const auto nodes_min = checked_mul(*n_nodes, node_min);
    if (!nodes_min || *nodes_min > reader.remaining()) return eof();

    Hnsw graph = Hnsw::create(m, ef_construction, ef_search, packed_bytes_per_vec);
    // A read graph holds no construction state until insertion resumes.
    graph.release_vectors();
    graph.max_level = *max_level;
    if (*entry != io::kNoEntryPoint) graph.entry_point = *entry;

    std::vector<uint8_t> link_bytes;
    std::vector<uint32_t> targets;
    for (uint32_t i = 0; i < *n_nodes; ++i) {
        auto id = reader.read_u64();
        if (!id) return unexpected(id.error());
        auto code = reader.read_bytes(packed_bytes_per_vec);
        if (!code) return unexpected(code.error());
        auto norm = reader.read_f32();
        if (!norm) return unexpected(norm.error());
        auto n_lists = reader.read_u8();
        if (!n_lists) return unexpected(n_lists.error());
        if (*n_lists == 0) {
            // A node has at least its layer-0 list; its level is lists - 1.
            return unexpected(KivoError::invalid_format("HNSW node " + std::to_string(i) +
                                                        " has no neighbour lists"));
        }
        if (*n_lists - 1u > kMaxLevel) {
            return unexpected(KivoError::invalid_format("HNSW node " + std::to_string(i) + " has " +
                                                        std::to_string(*n_lists) + " neighbour lists"));
        }
        if (auto ok = reader.require(uint64_t{*n_lists} * 2); !ok) return unexpected(ok.error());
        const uint32_t node = graph.append_node(*id, *code, *norm, *n_lists - 1u);
        for (uint64_t layer = 0; layer < *n_lists; ++layer) {
            auto count = reader.read_u16();
            if (!count) return unexpected(count.error());
            if (auto ok = reader.require(uint64_t{*count} * 4); !ok) return unexpected(ok.error());
            // The writer never stores a list beyond its budget; the flat
            // layout sizes every node's block by the longest list, so a
            // longer one is refused rather than paid for by every node.
            if (*count > graph.layer_budget(layer)) {
                return unexpected(KivoError::invalid_format(
                    "HNSW node " + std::to_string(i) + " has " + std::to_string(*count) + " links on layer " +
                    std::to_string(layer) + ", more than the " + std::to_string(graph.layer_budget(layer)) +
                    " that M " + std::to_string(m) + " allows"));
            }
            // One read per list, then the little-endian indexes.
            link_bytes.resize(uint64_t{*count} * 4);
            if (auto ok = reader.read_exact(link_bytes); !ok) return unexpected(ok.error());
            targets.resize(*count);
            for (uint16_t c = 0; c < *count; ++c) {
                const uint8_t* p = link_bytes.data() + 4 * c;
                targets[c] = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
            }
            graph.set_links(node, layer, targets);
        }
    }
    if (auto ok = check_graph(graph); !ok) return unexpected(ok.error());
    return graph;
}

}  // namespace kivo::search
