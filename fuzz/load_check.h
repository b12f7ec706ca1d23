// The properties every input of the loaders must keep, shared by the fuzz
// target and the test that replays the corpus: no crash, both load paths
// agree, a loaded index can be searched, and what it saves loads back and
// saves to the same bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace kivo::fuzzcheck {

using engine::Kivo;

inline std::string describe(const Result<Kivo>& r) { return r ? std::string("ok") : r.error().message(); }

inline bool same_floats(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Field-by-field equality, floats compared by their bits (NaN norms from a
// damaged file must still compare equal to themselves).
inline std::optional<std::string> compare_engines(const Kivo& a, const Kivo& b) {
    if (!(a.config() == b.config())) return "configs differ";
    if (!std::ranges::equal(a.codes(), b.codes())) return "codes differ";
    if (!std::ranges::equal(a.ids(), b.ids())) return "ids differ";
    if (!same_floats(a.norms(), b.norms())) return "norms differ";
    if (a.packed_bytes_per_vec() != b.packed_bytes_per_vec()) return "packed_bytes_per_vec differs";
    const auto& pa = a.pipeline();
    const auto& pb = b.pipeline();
    if (pa.padded_dim() != pb.padded_dim() || pa.n4_dims() != pb.n4_dims() || pa.dim() != pb.dim() ||
        !std::ranges::equal(pa.rhdh().signs(), pb.rhdh().signs())) {
        return "pipelines differ";
    }
    if (pa.std_params().has_value() != pb.std_params().has_value()) return "standardization differs";
    if (pa.std_params() && (!same_floats(pa.std_params()->mean, pb.std_params()->mean) ||
                            !same_floats(pa.std_params()->inv_std, pb.std_params()->inv_std))) {
        return "standardization values differ";
    }
    if (a.ivf().has_value() != b.ivf().has_value()) return "IVF presence differs";
    if (a.ivf()) {
        const auto& x = *a.ivf();
        const auto& y = *b.ivf();
        if (x.lists.size() != y.lists.size() || x.nprobe != y.nprobe || x.dim != y.dim ||
            x.packed_bytes_per_vec != y.packed_bytes_per_vec || x.metric != y.metric) {
            return "IVF parameters differ";
        }
        for (std::size_t l = 0; l < x.lists.size(); ++l) {
            if (!same_floats(x.lists[l].centroid, y.lists[l].centroid) || x.lists[l].codes != y.lists[l].codes ||
                x.lists[l].ids != y.lists[l].ids || !same_floats(x.lists[l].norms, y.lists[l].norms)) {
                return "IVF list " + std::to_string(l) + " differs";
            }
        }
    }
    if (a.hnsw().has_value() != b.hnsw().has_value()) return "HNSW presence differs";
    if (a.hnsw()) {
        const auto& x = *a.hnsw();
        const auto& y = *b.hnsw();
        if (x.entry_point != y.entry_point || x.max_level != y.max_level || x.m != y.m ||
            x.ef_construction != y.ef_construction || x.ef_search != y.ef_search ||
            x.packed_bytes_per_vec != y.packed_bytes_per_vec ||
            std::bit_cast<uint64_t>(x.level_mult) != std::bit_cast<uint64_t>(y.level_mult) ||
            x.size() != y.size()) {
            return "HNSW parameters differ";
        }
        for (uint32_t i = 0; i < x.size(); ++i) {
            if (x.record(i) != y.record(i) || std::bit_cast<uint32_t>(x.norm(i)) != std::bit_cast<uint32_t>(y.norm(i))) {
                return "HNSW node " + std::to_string(i) + " differs";
            }
        }
    }
    return std::nullopt;
}

inline std::optional<std::string> compare_searches(const Kivo& a, const Kivo& b) {
    std::vector<float> query(static_cast<std::size_t>(a.dim()));
    for (std::size_t i = 0; i < query.size(); ++i) query[i] = static_cast<float>(i % 7) * 0.25f - 0.5f;
    for (uint64_t k : {uint64_t{1}, uint64_t{10}}) {
        auto ra = a.search(query, k, std::nullopt);
        auto rb = b.search(query, k, std::nullopt);
        if (ra.has_value() != rb.has_value()) return "search succeeds on one engine only";
        if (!ra) {
            if (ra.error().message() != rb.error().message()) return "search errors differ";
            continue;
        }
        if (ra->size() != rb->size()) return "search result lengths differ";
        for (std::size_t i = 0; i < ra->size(); ++i) {
            if ((*ra)[i].id != (*rb)[i].id ||
                std::bit_cast<uint32_t>((*ra)[i].score) != std::bit_cast<uint32_t>((*rb)[i].score)) {
                return "search results differ";
            }
        }
    }
    return std::nullopt;
}

inline std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs both loaders on `path`; on success searches the index, saves it to
// `scratch` and checks that the saved file loads and saves to the same
// bytes. Returns a description of the first broken property.
inline std::optional<std::string> check_file(const std::string& path, const std::string& scratch) {
    auto buffered = Kivo::load(path);
    auto mapped = Kivo::load_mmap(path);
    if (buffered.has_value() != mapped.has_value()) {
        return "load gives '" + describe(buffered) + "', load_mmap gives '" + describe(mapped) + "'";
    }
    if (!buffered) {
        if (buffered.error().message() != mapped.error().message()) {
            return "load and load_mmap fail differently: '" + describe(buffered) + "' vs '" + describe(mapped) + "'";
        }
        return std::nullopt;
    }
    if (auto diff = compare_engines(*buffered, *mapped)) return "load and load_mmap differ: " + *diff;
    if (auto diff = compare_searches(*buffered, *mapped)) return "after load and load_mmap: " + *diff;

    if (auto saved = buffered->save(scratch); !saved) return "a loaded index fails to save: " + saved.error().message();
    const auto first = file_bytes(scratch);
    auto again = Kivo::load(scratch);
    if (!again) return "a file written by save does not load: " + again.error().message();
    if (auto saved = again->save(scratch); !saved) return "a reloaded index fails to save: " + saved.error().message();
    if (file_bytes(scratch) != first) return "saving a reloaded index changes the file";
    // A version 1 file has no norms; the saved file has them, so the reloaded
    // index scores differently by design. Otherwise it must answer alike.
    if (buffered->norms().size() == buffered->ids().size()) {
        if (auto diff = compare_searches(*buffered, *again)) return "after save and load: " + *diff;
    }
    // A loaded index keeps working: it takes new vectors, builds, searches,
    // and what it then saves loads back with every vector.
    std::vector<uint64_t> ids = {7, 8, 9};
    std::vector<std::vector<float>> vectors;
    for (uint64_t i = 0; i < ids.size(); ++i) {
        std::vector<float> v(static_cast<std::size_t>(buffered->dim()));
        for (std::size_t d = 0; d < v.size(); ++d) v[d] = static_cast<float>((d * 5 + i * 3) % 11) - 5.0f;
        vectors.push_back(std::move(v));
    }
    if (auto added = buffered->add(ids, vectors); !added) {
        return "a loaded index refuses new vectors: " + added.error().message();
    }
    if (buffered->build()) {
        std::vector<float> query(static_cast<std::size_t>(buffered->dim()), 0.5f);
        (void)buffered->search(query, 5, std::nullopt);
        if (auto saved = buffered->save(scratch); !saved) {
            return "a grown index fails to save: " + saved.error().message();
        }
        auto grown = Kivo::load(scratch);
        if (!grown) return "a grown index's file does not load: " + grown.error().message();
        if (grown->len() != buffered->len()) return "a grown index's file lost vectors";
    }
    return std::nullopt;
}

}  // namespace kivo::fuzzcheck
