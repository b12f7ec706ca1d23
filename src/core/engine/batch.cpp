// search_batch: many queries per call, spread over threads. Without an
// allowlist each row equals search() of that query bit for bit; the scans
// only share work (one code expansion per group of queries, one pass over
// the codes per group) without changing any score or any heap's pushes.
// With an allowlist every index type pre-filters:
// - brute force scans the allowed codes, as search() does;
// - IVF-Flat scores only allowed members of the probed lists, probing
//   further lists until it holds k, or scans all allowed members exactly
//   when they are fewer than the members its probe would score;
// - HNSW walks the graph through every node admitting only allowed ones, or
//   scans the allowed nodes exactly when they are few (kHnswExactFactor).
#include <algorithm>
#include <limits>

#include "engine/engine.h"
#include "engine/parallel.h"
#include "search/batch_scan.h"
#include "search/filter.h"
#include "search/scan.h"

namespace kivo::engine {

namespace {

// Queries per task of the code scans: a group shares each pass over the
// codes, and there are still enough tasks to spread over the cores.
constexpr std::size_t kScanGroup = 32;
// Queries per task of the graph walks (no shared scan work): small tasks
// keep the threads evenly busy.
constexpr std::size_t kWalkGroup = 4;
// HNSW with an allowlist scans the allowed nodes exactly when there are at
// most this many per result slot (max(ef_search, k)); above it the filtered
// walk is cheaper. bench/bench_filtered.cpp (30,000 x 384, m 32, ef 64, one
// query at a time): the walk costs about 800 us whatever the share allowed
// up to 10 %, the exact scan about 0.4 us per allowed node, so they cross
// near 2,000 allowed nodes, about 32 x ef (walk/exact 1.39 at 1,500, 0.59 at
// 3,000). A group of queries makes the scan cheaper still, so the rule errs
// towards the walk.
constexpr uint64_t kHnswExactFactor = 32;

std::size_t group_size(std::size_t nq, unsigned threads, std::size_t largest) {
    // Enough groups for every thread, multiples of eight (the kernels' group
    // of queries) where the batch allows.
    const std::size_t per_thread = (nq + threads - 1) / threads;
    const std::size_t rounded = (per_thread + 7) / 8 * 8;
    return std::max<std::size_t>(1, std::min({largest, rounded, nq}));
}

void write_row(BatchResult& out, std::size_t row, const std::vector<search::ScoredId>& entries) {
    const std::size_t n = std::min<std::size_t>(entries.size(), out.width);
    for (std::size_t i = 0; i < n; ++i) {
        out.ids[row * out.width + i] = entries[i].id;
        out.scores[row * out.width + i] = entries[i].score;
    }
}

}  // namespace

Result<BatchResult> Kivo::search_batch(std::span<const float> queries, uint64_t nq, uint64_t k,
                                       std::optional<std::span<const uint64_t>> allowlist, unsigned threads,
                                       const InterruptCheck& interrupt, bool prune) const {
    const uint64_t dim = config_.dim;
    if (nq != 0 && queries.size() / nq != dim) {
        return std::unexpected(KivoError::dimension_mismatch(dim, queries.size() / nq));
    }
    if (nq != 0 && queries.size() % nq != 0) {
        return std::unexpected(KivoError::dimension_mismatch(dim, queries.size()));
    }
    if (len() == 0) return std::unexpected(KivoError::empty_index());
    if (config_.index_type == IndexType::IvfFlat && !ivf_) return std::unexpected(KivoError::not_built());
    if (config_.index_type == IndexType::Hnsw && !hnsw_) return std::unexpected(KivoError::not_implemented("Hnsw"));

    BatchResult out;
    out.nq = nq;
    out.width = std::min<uint64_t>(k, len());
    out.ids.assign(nq * out.width, BatchResult::kNoId);
    out.scores.assign(nq * out.width, -std::numeric_limits<float>::infinity());
    if (nq == 0 || out.width == 0) return out;
    if (threads == 0) threads = available_cores();

    std::optional<search::Allowlist> filter;
    if (allowlist) filter = search::Allowlist::create(*allowlist);
    const std::size_t n = static_cast<std::size_t>(nq);
    const Metric metric = config_.metric;

    // Transforms the queries [begin, end) of a task.
    auto transform = [&](std::size_t begin, std::size_t end, std::vector<std::vector<float>>& tq,
                         std::vector<const float*>& ptrs) {
        tq.resize(end - begin);
        ptrs.resize(end - begin);
        for (std::size_t j = begin; j < end; ++j) {
            tq[j - begin] = pipeline_.transform_query(queries.subspan(j * dim, dim));
            ptrs[j - begin] = tq[j - begin].data();
        }
    };

    std::function<void(std::size_t, const InterruptCheck&)> body;
    std::size_t group = 0;

    // Shared, read-only state prepared once per call.
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // brute force: allowed runs
    std::optional<search::IvfFlat::AllowedMembers> ivf_allowed;
    search::Gathered hnsw_allowed;
    bool hnsw_exact = false;

    switch (config_.index_type) {
        case IndexType::BruteForce: {
            const uint64_t pb = packed_bytes_per_vec_;
            const std::size_t count = pb == 0 ? 0 : std::min<std::size_t>(ids_.size(), codes_.size() / pb);
            if (!filter) {
                runs.emplace_back(0, count);
            } else {
                for (std::size_t i = 0; i < count;) {
                    if (!filter->contains(ids_[i])) {
                        ++i;
                        continue;
                    }
                    std::size_t e = i + 1;
                    while (e < count && filter->contains(ids_[e])) ++e;
                    runs.emplace_back(i, e);
                    i = e;
                }
            }
            group = group_size(n, threads, kScanGroup);
            body = [&, pb, count](std::size_t task, const InterruptCheck& stop) {
                const std::size_t begin = task * group, end = std::min(n, begin + group);
                std::vector<std::vector<float>> tq;
                std::vector<const float*> ptrs;
                transform(begin, end, tq, ptrs);
                std::vector<search::TopK> heaps;
                heaps.reserve(end - begin);
                for (std::size_t j = begin; j < end; ++j) heaps.emplace_back(k, count);
                const search::QueryGroup g{ptrs.data(), ptrs.size(), heaps.data()};
                std::vector<float> scratch;
                std::vector<search::Scanner> scanners;
                if (prune) {
                    scanners.reserve(end - begin);
                    for (std::size_t j = begin; j < end; ++j) {
                        scanners.emplace_back(pipeline_, tq[j - begin], metric, true, quantize::BoundImage::Signed);
                    }
                    if (!scanners.front().pruning()) scanners.clear();
                }
                const search::CodeRun store{codes_.data(), std::span<const uint64_t>(ids_).first(count), norms_, count};
                for (const auto& [a, b] : runs) {
                    const bool done =
                        scanners.empty()
                            ? search::scan_run(pipeline_, metric, g, codes_.data(), pb, ids_.data(), norms_, a, b,
                                               scratch, stop)
                            : search::scan_run_pruned(pipeline_, metric, g, scanners, store, a, b, scratch, stop);
                    if (!done) return;
                }
                for (std::size_t j = begin; j < end; ++j) write_row(out, j, std::move(heaps[j - begin]).into_sorted());
            };
            break;
        }
        case IndexType::IvfFlat: {
            if (filter) ivf_allowed = ivf_->allowed_members(*filter);
            group = group_size(n, threads, kScanGroup);
            body = [&](std::size_t task, const InterruptCheck& stop) {
                const std::size_t begin = task * group, end = std::min(n, begin + group);
                std::vector<std::vector<float>> tq;
                std::vector<const float*> ptrs;
                transform(begin, end, tq, ptrs);
                std::vector<std::vector<search::ScoredId>> rows(end - begin);
                const bool done = ivf_allowed ? ivf_->search_group_filtered(pipeline_, ptrs.data(), ptrs.size(), k,
                                                                            *ivf_allowed, rows.data(), stop)
                                              : ivf_->search_group(pipeline_, ptrs.data(), ptrs.size(), k,
                                                                   rows.data(), stop, prune);
                if (!done) return;
                for (std::size_t j = begin; j < end; ++j) write_row(out, j, rows[j - begin]);
            };
            break;
        }
        case IndexType::Hnsw: {
            if (filter) {
                hnsw_allowed = hnsw_->allowed_nodes(*filter);
                const uint64_t ef = std::max(hnsw_->ef_search, k);
                hnsw_exact = hnsw_allowed.size() <= ef * kHnswExactFactor;
            }
            group = group_size(n, threads, hnsw_exact ? kScanGroup : kWalkGroup);
            body = [&](std::size_t task, const InterruptCheck& stop) {
                const std::size_t begin = task * group, end = std::min(n, begin + group);
                std::vector<std::vector<float>> tq;
                std::vector<const float*> ptrs;
                transform(begin, end, tq, ptrs);
                if (hnsw_exact) {
                    std::vector<search::TopK> heaps;
                    heaps.reserve(end - begin);
                    for (std::size_t j = begin; j < end; ++j) heaps.emplace_back(k, hnsw_allowed.size());
                    const search::QueryGroup g{ptrs.data(), ptrs.size(), heaps.data()};
                    std::vector<float> scratch;
                    if (!search::scan_gathered(pipeline_, metric, g, hnsw_allowed, scratch, stop)) return;
                    for (std::size_t j = begin; j < end; ++j) {
                        write_row(out, j, std::move(heaps[j - begin]).into_sorted());
                    }
                    return;
                }
                for (std::size_t j = begin; j < end; ++j) {
                    if (stop.requested()) return;
                    const std::span<const float> q(tq[j - begin]);
                    write_row(out, j, filter ? hnsw_->search_filtered(pipeline_, q, k, *filter, metric)
                                             : hnsw_->search(pipeline_, q, k, std::nullopt, metric));
                }
            };
            break;
        }
    }

    const std::size_t tasks = (n + group - 1) / group;
    if (!run_tasks(tasks, threads, interrupt, body)) return std::unexpected(KivoError::interrupted());
    return out;
}

}  // namespace kivo::engine
