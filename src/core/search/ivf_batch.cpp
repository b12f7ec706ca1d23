// IVF-Flat batch queries: probed lists scored once per group of queries, and
// the pre-filtered probe with its exact fallback for small allowlists.
#include <algorithm>

#include "search/batch_scan.h"
#include "search/ivf.h"
#include "search/scan.h"

namespace kivo::search {

namespace {

// What the group pass left for one code of a query's later lists.
enum class Fate : uint8_t {
    Scored,    // its exact raw score is held
    Deferred,  // the pass kept it: its adjusted bound is held, and the push
               // decides again against the heap as it is then
    Skipped,   // its bound was below the weakest score of the prefix heap
};

// One query of a group: its probed lists in rank order, for every probed
// member of the later lists (laid out in rank order) a score or bound and
// its fate, and its heap. The heap takes the query's first lists in rank
// order until it is full (the prefix); the lists after the prefix go
// through the group's shared pass and are pushed at the end, in rank order.
// A code skipped by the pass had a bound below the weakest score of the
// prefix heap, which only rises while the later lists are pushed, so its
// push would have changed nothing. A kept code is scored exactly only if
// its bound still reaches the weakest score when its turn to be pushed
// comes: the rule of a single query's scan, against the same heap.
struct GroupQuery {
    std::vector<std::size_t> order;
    std::vector<float> scores;
    std::vector<Fate> fate;
    std::size_t prefix = 0;
    TopK heap{0, 0};
};

// Pushes one block [begin, end) of a later list in order: held exact scores
// as they are, deferred codes scored now if their bound reaches the heap's
// weakest score at the start of the block (it only rises within it). Only a
// query with a first pass has deferred codes, and only it passes a scanner.
void push_block(Scanner* scanner, const CodeRun& run, vocab::Metric metric, std::size_t begin, std::size_t end,
                const float* scores, const Fate* fate, TopK& heap) {
    const std::size_t n = end - begin;
    uint32_t keep[Scanner::kBlockCodes];
    float raw[Scanner::kBlockCodes];
    std::size_t kept = 0;
    const bool full = heap.full();
    const float weakest = full ? heap.weakest_score() : 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
        if (fate[j] != Fate::Deferred) continue;
        if (full && scores[j] < weakest) continue;
        keep[kept++] = static_cast<uint32_t>(j);
    }
    if (kept > 0) scanner->score_kept(run, begin, end, keep, kept, raw);
    std::size_t next = 0;
    for (std::size_t j = 0; j < n; ++j) {
        float score = 0.0f;
        if (fate[j] == Fate::Scored) {
            score = scores[j];
        } else if (next < kept && keep[next] == j) {
            score = raw[next++];
        } else {
            continue;
        }
        const std::size_t i = begin + j;
        heap.push(run.ids[i], quantize::adjust_score(metric, score, run.norms[i]));
    }
}

}  // namespace

bool IvfFlat::search_group(const quantize::QuantPipeline& pipeline, const float* const* queries,
                           std::size_t nq, uint64_t k, std::vector<ScoredId>* out,
                           const InterruptCheck& stop, bool prune) const {
    const std::size_t probes = probe_count();
    if (k == 0 || probes == 0) {
        for (std::size_t j = 0; j < nq; ++j) out[j].clear();
        return true;
    }
    const uint64_t pb = packed_bytes_per_vec;
    const std::size_t padded = static_cast<std::size_t>(pipeline.padded_dim());
    auto run_of = [&](const IvfList& list) { return CodeRun{list.codes.data(), list.ids, list.norms, members(list)}; };

    std::vector<Scanner> scanners;
    if (prune) {
        scanners.reserve(nq);
        for (std::size_t j = 0; j < nq; ++j) {
            scanners.emplace_back(pipeline, std::span<const float>(queries[j], padded), metric, true,
                                  quantize::BoundImage::Signed);
        }
    }
    auto pruning = [&](std::size_t j) { return !scanners.empty() && scanners[j].pruning(); };

    // Each query's probe and prefix, and where each later list's scores go
    // in that query's arrays.
    std::vector<GroupQuery> q(nq);
    struct Use {
        std::size_t query;
        std::size_t offset;
    };
    std::vector<std::vector<Use>> uses(lists.size());
    std::vector<float> bounds(kBatchChunk);
    for (std::size_t j = 0; j < nq; ++j) {
        GroupQuery& g = q[j];
        g.order = probe_order({queries[j], padded});
        g.order.resize(probes);
        std::size_t total = 0;
        for (std::size_t l : g.order) total += members(lists[l]);
        g.heap = TopK(k, total);
        if (pruning(j)) {
            for (; g.prefix < probes && !g.heap.full(); ++g.prefix) {
                if (stop.requested()) return false;
                scanners[j].scan(run_of(lists[g.order[g.prefix]]), nullptr, g.heap);
            }
        }
        std::size_t at = 0;
        for (std::size_t r = g.prefix; r < probes; ++r) {
            uses[g.order[r]].push_back({j, at});
            at += members(lists[g.order[r]]);
        }
        g.scores.resize(at);
        g.fate.assign(at, Fate::Scored);
    }

    std::vector<const float*> exact_queries;
    std::vector<std::size_t> exact, takers;
    std::vector<const Scanner*> taking;
    GroupPass pass;
    std::vector<float> chunk;
    uint32_t keep[Scanner::kBlockCodes];
    for (std::size_t l = 0; l < lists.size(); ++l) {
        if (uses[l].empty()) continue;
        const IvfList& list = lists[l];
        const CodeRun run = run_of(list);
        const std::size_t n = run.count;
        chunk.resize(uses[l].size() * kBatchChunk);
        for (std::size_t start = 0; start < n; start += kBatchChunk) {
            if (stop.requested()) return false;
            const std::size_t cnt = std::min(kBatchChunk, n - start);
            exact.clear();
            takers.clear();
            taking.clear();
            for (std::size_t u = 0; u < uses[l].size(); ++u) {
                const std::size_t j = uses[l][u].query;
                if (pruning(j) && q[j].heap.full()) {
                    takers.push_back(u);
                    taking.push_back(&scanners[j]);
                } else {
                    exact.push_back(u);
                }
            }
            pass.run(taking, run.codes + start * pb, pb, cnt);
            for (std::size_t t = 0; t < takers.size(); ++t) {
                const Use& use = uses[l][takers[t]];
                GroupQuery& g = q[use.query];
                Scanner& scanner = scanners[use.query];
                const std::size_t kept = scanner.keep_block(run, start, start + cnt, g.heap.weakest_score(), pass.d4(t),
                                                            pass.d2(t), keep);
                scanner.kept_bounds(run, start, keep, kept, pass.d4(t), pass.d2(t), bounds.data());
                float* scores = g.scores.data() + use.offset + start;
                Fate* fate = g.fate.data() + use.offset + start;
                std::fill_n(fate, cnt, Fate::Skipped);
                for (std::size_t i = 0; i < kept; ++i) {
                    scores[keep[i]] = bounds[i];
                    fate[keep[i]] = Fate::Deferred;
                }
            }
            if (exact.empty()) continue;
            exact_queries.clear();
            for (const std::size_t u : exact) exact_queries.push_back(queries[uses[l][u].query]);
            pipeline.score_multi(exact_queries.data(), exact_queries.size(), run.codes + start * pb, cnt,
                                 chunk.data(), kBatchChunk);
            for (std::size_t e = 0; e < exact.size(); ++e) {
                const Use& use = uses[l][exact[e]];
                std::copy_n(chunk.data() + e * kBatchChunk, cnt, q[use.query].scores.data() + use.offset + start);
            }
        }
    }

    // The later lists pushed in each query's own rank order: the heap sees
    // what search() feeds it, less pushes that change nothing.
    for (std::size_t j = 0; j < nq; ++j) {
        GroupQuery& g = q[j];
        std::size_t at = 0;
        for (std::size_t r = g.prefix; r < probes; ++r) {
            const CodeRun run = run_of(lists[g.order[r]]);
            for (std::size_t start = 0; start < run.count; start += Scanner::kBlockCodes) {
                const std::size_t end = std::min(run.count, start + Scanner::kBlockCodes);
                push_block(pruning(j) ? &scanners[j] : nullptr, run, metric, start, end,
                           g.scores.data() + at + start, g.fate.data() + at + start, g.heap);
            }
            at += run.count;
        }
        out[j] = std::move(g.heap).into_sorted();
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
