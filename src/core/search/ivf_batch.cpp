// IVF-Flat batch queries: probed lists scored once per group of queries, and
// the pre-filtered probe with its exact fallback for small allowlists.
#include <algorithm>

#include "search/ivf.h"

namespace kivo::search {

bool IvfFlat::search_group(const quantize::QuantPipeline& pipeline, const float* const* queries,
                           std::size_t nq, uint64_t k, std::vector<ScoredId>* out,
                           const InterruptCheck& stop) const {
    const std::size_t probes = probe_count();
    if (k == 0 || probes == 0) {
        for (std::size_t j = 0; j < nq; ++j) out[j].clear();
        return true;
    }
    const uint64_t pb = packed_bytes_per_vec;

    // Each query's probed lists, and where each list's scores go in that
    // query's score array (lists laid out in the query's rank order).
    std::vector<std::vector<std::size_t>> order(nq);
    std::vector<std::vector<float>> scores(nq);
    struct Use {
        std::size_t query;
        std::size_t offset;
    };
    std::vector<std::vector<Use>> uses(lists.size());
    for (std::size_t j = 0; j < nq; ++j) {
        order[j] = probe_order({queries[j], static_cast<std::size_t>(pipeline.padded_dim())});
        order[j].resize(probes);
        std::size_t total = 0;
        for (std::size_t l : order[j]) {
            uses[l].push_back({j, total});
            total += members(lists[l]);
        }
        scores[j].resize(total);
    }

    std::vector<const float*> group;
    std::vector<float> chunk;
    for (std::size_t l = 0; l < lists.size(); ++l) {
        if (uses[l].empty()) continue;
        const IvfList& list = lists[l];
        const std::size_t n = members(list);
        group.clear();
        for (const Use& u : uses[l]) group.push_back(queries[u.query]);
        chunk.resize(group.size() * kBatchChunk);
        for (std::size_t start = 0; start < n; start += kBatchChunk) {
            if (stop.requested()) return false;
            const std::size_t cnt = std::min(kBatchChunk, n - start);
            pipeline.score_multi(group.data(), group.size(), list.codes.data() + start * pb, cnt, chunk.data(),
                                 kBatchChunk);
            for (std::size_t g = 0; g < group.size(); ++g) {
                const Use& u = uses[l][g];
                std::copy_n(chunk.data() + g * kBatchChunk, cnt, scores[u.query].data() + u.offset + start);
            }
        }
    }

    // Pushes in each query's own rank order: the heap sees what search() feeds it.
    for (std::size_t j = 0; j < nq; ++j) {
        TopK heap(k, scores[j].size());
        std::size_t at = 0;
        for (std::size_t l : order[j]) {
            const IvfList& list = lists[l];
            const std::size_t n = members(list);
            for (std::size_t i = 0; i < n; ++i) {
                heap.push(list.ids[i], quantize::adjust_score(metric, scores[j][at + i], list.norms[i]));
            }
            at += n;
        }
        out[j] = std::move(heap).into_sorted();
    }
    return true;
}

IvfFlat::AllowedMembers IvfFlat::allowed_members(const Allowlist& filter) const {
    AllowedMembers allowed;
    allowed.positions.resize(lists.size());
    for (std::size_t l = 0; l < lists.size(); ++l) {
        const IvfList& list = lists[l];
        const std::size_t n = members(list);
        for (std::size_t i = 0; i < n; ++i) {
            if (!filter.contains(list.ids[i])) continue;
            allowed.positions[l].push_back(static_cast<uint32_t>(i));
            allowed.all.codes.push_back(list.codes.data() + i * packed_bytes_per_vec);
            allowed.all.ids.push_back(list.ids[i]);
            allowed.all.norms.push_back(list.norms[i]);
        }
    }
    return allowed;
}

bool IvfFlat::search_group_filtered(const quantize::QuantPipeline& pipeline, const float* const* queries,
                                    std::size_t nq, uint64_t k, const AllowedMembers& allowed,
                                    std::vector<ScoredId>* out, const InterruptCheck& stop) const {
    const std::size_t probes = probe_count();
    const std::size_t total_allowed = allowed.all.size();
    if (k == 0 || probes == 0 || total_allowed == 0) {
        for (std::size_t j = 0; j < nq; ++j) out[j].clear();
        return true;
    }
    const uint64_t pb = packed_bytes_per_vec;

    // Queries whose probe would score at least as many members as the
    // allowlist holds in total: an exact scan of the allowed members costs no
    // more and finds the true filtered top k.
    std::vector<std::size_t> exact;
    std::vector<const float*> exact_queries;
    std::vector<float> buf(kBatchChunk);
    for (std::size_t j = 0; j < nq; ++j) {
        const std::vector<std::size_t> order = probe_order({queries[j], static_cast<std::size_t>(pipeline.padded_dim())});
        std::size_t probed = 0;
        for (std::size_t r = 0; r < probes; ++r) probed += members(lists[order[r]]);
        if (total_allowed <= probed) {
            exact.push_back(j);
            exact_queries.push_back(queries[j]);
            continue;
        }
        // Probe in rank order, scoring runs of consecutive allowed members;
        // past nprobe lists only while fewer than k results are held.
        TopK heap(k, total_allowed);
        for (std::size_t r = 0; r < order.size(); ++r) {
            if (r >= probes && heap.full()) break;
            if (stop.requested()) return false;
            const std::size_t l = order[r];
            const IvfList& list = lists[l];
            const std::vector<uint32_t>& pos = allowed.positions[l];
            for (std::size_t a = 0; a < pos.size();) {
                std::size_t b = a + 1;
                while (b < pos.size() && b - a < kBatchChunk && pos[b] == pos[b - 1] + 1) ++b;
                pipeline.score_batch({queries[j], static_cast<std::size_t>(pipeline.padded_dim())}, list.codes.data() + pos[a] * pb,
                                     b - a, buf.data());
                for (std::size_t i = a; i < b; ++i) {
                    heap.push(list.ids[pos[i]], quantize::adjust_score(metric, buf[i - a], list.norms[pos[i]]));
                }
                a = b;
            }
        }
        out[j] = std::move(heap).into_sorted();
    }
    if (exact.empty()) return true;

    std::vector<TopK> heaps;
    heaps.reserve(exact.size());
    for (std::size_t e = 0; e < exact.size(); ++e) heaps.emplace_back(k, total_allowed);
    std::vector<float> scratch;
    const QueryGroup group{exact_queries.data(), exact_queries.size(), heaps.data()};
    if (!scan_gathered(pipeline, metric, group, allowed.all, scratch, stop)) return false;
    for (std::size_t e = 0; e < exact.size(); ++e) out[exact[e]] = std::move(heaps[e]).into_sorted();
    return true;
}

}  // namespace kivo::search
