// Hnsw::select_links: which candidates become a node's links, for a new node
// and for a list pruned back to its budget.
//
// The diverse rule gives each candidate a status that depends only on the
// candidates before it: c is kept when no kept candidate before it
// dominates it (scores at least as high with c as base does). Two ways of
// finding the statuses compare the same scores and so give the same links:
// - forward, for a new node (many more candidates than budget): every kept
//   candidate is scored against all later undecided ones in one pass;
// - from the end, for an overfull list (one or two candidates over budget):
//   only the last discarded candidates leave, and a candidate near the end is
//   usually dominated by one of the first few, so most statuses are never
//   needed.
// Scores are computed sixteen rows per pass: the sums run in index order,
// one row per SIMD lane, so a pass costs about as much as a single score.
#include <algorithm>

#include "search/hnsw.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {

namespace {

constexpr std::size_t kRowsPerPass = 16;
// Overfull lists have one candidate too many; larger excesses go forward.
constexpr std::size_t kMaxBackwardExcess = 2;

enum class Status : uint8_t { Unknown, Kept, Discarded };

// The candidates of one selection and the construction scores among them,
// computed on demand. A score "with c as the query" against x is
// dot(c, x), minus 0.5 |x|^2 for l2; dot(c, x) and dot(x, c) are the same
// products added in the same order, so either row may be the query.
class Candidates {
public:
    Candidates(std::vector<const float*> rows, std::vector<float> halves, const float* base, float base_half,
               std::size_t len, uint32_t features)
        : rows_(std::move(rows)), halves_(std::move(halves)), base_(base), base_half_(base_half), len_(len),
          features_(features), to_base_(rows_.size()), base_known_(rows_.size(), false) {}

    std::size_t size() const { return rows_.size(); }

    // Score of candidate c (as the query) with base, computing it and the
    // next fifteen unknown ones together.
    float to_base(std::size_t c) {
        if (!base_known_[c]) {
            std::size_t end = c;
            pass_rows_.clear();
            while (end < size() && pass_rows_.size() < kRowsPerPass) {
                if (!base_known_[end]) pass_rows_.push_back(rows_[end]);
                ++end;
            }
            pass_out_.resize(pass_rows_.size());
            simd::dot_rows(base_, len_, pass_rows_.data(), pass_rows_.size(), pass_out_.data(), features_);
            std::size_t k = 0;
            for (std::size_t i = c; i < end; ++i) {
                if (base_known_[i]) continue;
                to_base_[i] = pass_out_[k++] - base_half_;
                base_known_[i] = true;
            }
        }
        return to_base_[c];
    }

    // dot(c, x) for each candidate x of `others`, into `out`.
    void dots(std::size_t c, std::span<const uint32_t> others, std::vector<float>& out) {
        out.resize(others.size());
        for (std::size_t begin = 0; begin < others.size(); begin += kRowsPerPass) {
            const std::size_t count = std::min(kRowsPerPass, others.size() - begin);
            pass_rows_.clear();
            for (std::size_t j = 0; j < count; ++j) pass_rows_.push_back(rows_[others[begin + j]]);
            simd::dot_rows(rows_[c], len_, pass_rows_.data(), count, out.data() + begin, features_);
        }
    }

    // The l2 term of candidate x as the scored row (0 for other metrics).
    float half(std::size_t x) const { return halves_[x]; }

    // Whether kept candidate `k` stops `c`: c does not score strictly higher
    // with base than with k (a NaN on either side stops it).
    bool stops(float c_to_base, float c_to_k) const { return !(c_to_base > c_to_k); }

private:
    std::vector<const float*> rows_;
    std::vector<float> halves_;  // 0.5 |x|^2 for l2, else 0
    const float* base_;
    float base_half_;
    std::size_t len_;
    uint32_t features_;
    std::vector<float> to_base_;
    std::vector<bool> base_known_;
    std::vector<const float*> pass_rows_;
    std::vector<float> pass_out_;
};

// Walks the candidates in order; each kept one is scored against every later
// candidate not yet stopped. Stops once `limit` are kept.
std::vector<Status> statuses_forward(Candidates& cands, std::size_t limit) {
    const std::size_t n = cands.size();
    std::vector<Status> status(n, Status::Unknown);
    std::vector<uint32_t> open;
    std::vector<float> scores;
    std::size_t kept = 0;
    for (std::size_t c = 0; c < n && kept < limit; ++c) {
        if (status[c] == Status::Discarded) continue;
        status[c] = Status::Kept;
        if (++kept == limit) break;
        open.clear();
        for (std::size_t later = c + 1; later < n; ++later) {
            if (status[later] == Status::Unknown) open.push_back(static_cast<uint32_t>(later));
        }
        // Each later candidate is the query and c the scored row.
        cands.dots(c, open, scores);
        const float c_half = cands.half(c);
        for (std::size_t j = 0; j < open.size(); ++j) {
            if (cands.stops(cands.to_base(open[j]), scores[j] - c_half)) status[open[j]] = Status::Discarded;
        }
    }
    return status;
}

// Resolves statuses on demand: candidate c is discarded by the first
// earlier candidate that stops it and is itself kept. Earlier candidates are
// tested sixteen at a time; a stopping one of unknown status is resolved
// first (an explicit stack, so long lists cannot exhaust the call stack).
class LazyStatuses {
public:
    explicit LazyStatuses(Candidates& cands)
        : cands_(cands), status_(cands.size(), Status::Unknown), next_(cands.size(), 0),
          tested_(cands.size()) {}

    Status resolve(std::size_t target) {
        if (status_[target] != Status::Unknown) return status_[target];
        stack_.assign(1, static_cast<uint32_t>(target));
        while (!stack_.empty()) {
            const uint32_t c = stack_.back();
            bool descended = false;
            while (status_[c] == Status::Unknown && next_[c] < c) {
                const uint32_t k = next_[c];
                if (!stops(c, k)) {
                    ++next_[c];
                    continue;
                }
                if (status_[k] == Status::Unknown) {
                    stack_.push_back(k);
                    descended = true;
                    break;
                }
                if (status_[k] == Status::Kept) status_[c] = Status::Discarded;
                ++next_[c];
            }
            if (descended) continue;
            if (status_[c] == Status::Unknown) status_[c] = Status::Kept;
            stack_.pop_back();
        }
        return status_[target];
    }

    const std::vector<Status>& statuses() const { return status_; }

private:
    // Whether earlier candidate k stops c; scores of c against k and the
    // next fifteen earlier candidates are computed together.
    bool stops(uint32_t c, uint32_t k) {
        std::vector<float>& row = tested_[c];
        if (k >= row.size()) {
            const uint32_t end = std::min<uint32_t>(c, k + kRowsPerPass);
            others_.clear();
            for (uint32_t j = k; j < end; ++j) others_.push_back(j);
            cands_.dots(c, others_, pass_);
            for (std::size_t j = 0; j < others_.size(); ++j) row.push_back(pass_[j] - cands_.half(others_[j]));
        }
        return cands_.stops(cands_.to_base(c), row[k]);
    }

    Candidates& cands_;
    std::vector<Status> status_;
    std::vector<uint32_t> next_;
    std::vector<std::vector<float>> tested_;  // tested_[c][k]: c's score with k, for k tested so far
    std::vector<uint32_t> stack_;
    std::vector<uint32_t> others_;
    std::vector<float> pass_;
};

// The rule's result, as a mark per candidate: the kept ones up to `limit`,
// then the best discarded ones until `limit` are marked.
std::vector<bool> chosen_from(const std::vector<Status>& status, std::size_t limit) {
    std::vector<bool> chosen(status.size(), false);
    std::size_t count = 0;
    for (std::size_t i = 0; i < status.size() && count < limit; ++i) {
        if (status[i] == Status::Kept) {
            chosen[i] = true;
            ++count;
        }
    }
    for (std::size_t i = 0; i < status.size() && count < limit; ++i) {
        if (!chosen[i]) {
            chosen[i] = true;
            ++count;
        }
    }
    return chosen;
}

// The same result when only `excess` candidates leave: the last `excess`
// discarded ones; should fewer be discarded, all of them and the last kept
// ones beyond the first `limit`.
std::vector<bool> chosen_backward(Candidates& cands, std::size_t limit) {
    const std::size_t n = cands.size();
    const std::size_t excess = n - limit;
    LazyStatuses lazy(cands);
    std::vector<bool> chosen(n, true);
    std::size_t left = 0;
    for (std::size_t i = n; i-- > 0 && left < excess;) {
        if (lazy.resolve(i) == Status::Discarded) {
            chosen[i] = false;
            ++left;
        }
    }
    if (left == excess) return chosen;
    // Every status is known now.
    return chosen_from(lazy.statuses(), limit);
}

}  // namespace

void Hnsw::select_links(uint32_t base, std::span<const Neighbour> sorted, uint64_t budget,
                        vocab::Metric metric, std::vector<Neighbour>& out) const {
    out.clear();
    const std::size_t limit = static_cast<std::size_t>(std::min<uint64_t>(budget, sorted.size()));
    const uint64_t have = vector_count();
    bool diverse = selection == vocab::HnswSelection::Diverse && sorted.size() > limit && base < have;
    for (std::size_t i = 0; diverse && i < sorted.size(); ++i) diverse = sorted[i].node < have;
    if (!diverse) {
        out.assign(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(limit));
        return;
    }

    const bool l2 = metric == vocab::Metric::L2;
    const bool cached_sq = vector_sq_sums_.size() == have;
    auto half_sq = [&](uint32_t v) {
        if (!l2) return 0.0f;
        float sq = 0.0f;
        if (cached_sq) {
            sq = vector_sq_sums_[v];
        } else {
            for (float x : vector_of(v)) {
                const float p = x * x;
                sq = sq + p;
            }
        }
        return 0.5f * sq;
    };

    std::vector<const float*> rows;
    std::vector<float> halves;
    rows.reserve(sorted.size());
    halves.reserve(sorted.size());
    for (const Neighbour& c : sorted) {
        rows.push_back(vector_of(c.node).data());
        halves.push_back(half_sq(c.node));
    }
    Candidates cands(std::move(rows), std::move(halves), vector_of(base).data(), half_sq(base),
                     static_cast<std::size_t>(vector_dim()), simd::features());
    const std::vector<bool> chosen = sorted.size() - limit <= kMaxBackwardExcess
                                         ? chosen_backward(cands, limit)
                                         : chosen_from(statuses_forward(cands, limit), limit);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (chosen[i]) out.push_back(sorted[i]);
    }
}

}  // namespace kivo::search
