// Hnsw::select_links: which candidates become a node's links, for a new node
// and for a list pruned back to its budget.
//
// The diverse rule gives each candidate a status that depends only on the
// candidates before it: c is kept when no kept candidate before it stops it
// (scores at least as high with c as base does). Three ways of finding the
// statuses test the same construction scores and so choose the same links:
// - forward: every kept candidate is tested against all later open ones at
//   once; gives every status the choice needs (a new node's list, or a list
//   whose statuses are not known yet);
// - one new candidate in a list whose statuses are known: statuses before
//   it stand; it is tested against the kept ones before it, and only when it
//   is kept can a later status change;
// - from the end, for an overfull list without statuses (removal's repair):
//   only the last discarded candidates leave, and a candidate near the end
//   is usually stopped by one of the first few.
// Comparisons are settled on ranges from any-order dot products, which cost
// a fraction of the index-order sums; the few a range cannot settle compute
// those, sixteen rows per pass (one row per SIMD lane).
#include <algorithm>

#include "search/hnsw.h"
#include "search/score_range.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {

namespace {

constexpr std::size_t kRowsPerPass = 16;
// Tests that may stop at the first stopping candidate screen a few at a
// time, so that little is computed past it.
constexpr std::size_t kScreenRowsPerPass = 8;
// Overfull lists have one candidate too many; larger excesses go forward.
constexpr std::size_t kMaxBackwardExcess = 2;

using Status = LinkStatus;

// The candidates of one selection and the construction scores among them,
// computed on demand. A score "with c as the query" against x is
// dot(c, x), minus 0.5 |x|^2 for l2; dot(c, x) and dot(x, c) are the same
// products added in the same order, so either row may be the query.
// Comparisons are settled on ranges from any-order dot products first
// (search/score_range.h); only an unsettled one computes the index-order
// scores it compares.
class Candidates {
public:
    Candidates(std::vector<const float*> rows, std::vector<float> halves, std::vector<double> norms,
               const float* base, float base_half, double base_norm, std::size_t len, uint32_t features)
        : rows_(std::move(rows)), halves_(std::move(halves)), norms_(std::move(norms)), base_(base),
          base_half_(base_half), base_norm_(base_norm), len_(len), features_(features), to_base_(rows_.size()),
          base_known_(rows_.size(), false), base_range_(rows_.size()), range_known_(rows_.size(), false) {}

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

    // Any-order dot(c, x) for each candidate x of `others`, into `out`: what
    // stops() takes.
    void dots(std::size_t c, std::span<const uint32_t> others, std::vector<float>& out) {
        out.resize(others.size());
        pass_rows_.clear();
        for (uint32_t x : others) pass_rows_.push_back(rows_[x]);
        simd::dot_rows_fast(rows_[c], len_, pass_rows_.data(), others.size(), out.data(), features_);
    }

    // Whether kept candidate k stops candidate c, given the any-order
    // dot(c, k): c does not score strictly higher with base than with k (a
    // NaN on either side stops it).
    bool stops(std::size_t c, std::size_t k, float fast_dot_ck) {
        const screen::ScoreRange to_k =
            screen::score_range(fast_dot_ck, screen::dot_gap(len_, norms_[c], norms_[k]), halves_[k]);
        const screen::ScoreRange base = base_range(c);
        if (screen::surely_above(base, to_k)) return false;
        if (screen::surely_not_above(base, to_k)) return true;
        float dot_ck = 0.0f;
        const float* row = rows_[k];
        simd::dot_rows(rows_[c], len_, &row, 1, &dot_ck, features_);
        const float exact_to_k = dot_ck - halves_[k];
        return !(to_base(c) > exact_to_k);
    }

private:
    // The range of to_base(c), screening it and the next few unknown ones
    // together.
    screen::ScoreRange base_range(std::size_t c) {
        if (!range_known_[c]) {
            pass_rows_.clear();
            pass_index_.clear();
            for (std::size_t i = c; i < size() && pass_rows_.size() < kScreenRowsPerPass; ++i) {
                if (range_known_[i]) continue;
                pass_rows_.push_back(rows_[i]);
                pass_index_.push_back(i);
            }
            pass_out_.resize(pass_rows_.size());
            simd::dot_rows_fast(base_, len_, pass_rows_.data(), pass_rows_.size(), pass_out_.data(), features_);
            for (std::size_t j = 0; j < pass_index_.size(); ++j) {
                const std::size_t i = pass_index_[j];
                base_range_[i] =
                    screen::score_range(pass_out_[j], screen::dot_gap(len_, norms_[i], base_norm_), base_half_);
                range_known_[i] = true;
            }
        }
        return base_range_[c];
    }

    std::vector<const float*> rows_;
    std::vector<float> halves_;  // 0.5 |x|^2 for l2, else 0
    std::vector<double> norms_;  // upper bounds of |x|
    const float* base_;
    float base_half_;
    double base_norm_;
    std::size_t len_;
    uint32_t features_;
    std::vector<float> to_base_;
    std::vector<bool> base_known_;
    std::vector<screen::ScoreRange> base_range_;
    std::vector<bool> range_known_;
    std::vector<std::size_t> pass_index_;
    std::vector<const float*> pass_rows_;
    std::vector<float> pass_out_;
};

// Whether any candidate of `kept` (all before c) stops c; tests them in
// order, eight per pass, and stops at the first pass that finds one.
bool stopped_by_any(Candidates& cands, uint32_t c, std::span<const uint32_t> kept, std::vector<float>& dots) {
    for (std::size_t begin = 0; begin < kept.size(); begin += kScreenRowsPerPass) {
        const std::span<const uint32_t> chunk =
            kept.subspan(begin, std::min(kScreenRowsPerPass, kept.size() - begin));
        cands.dots(c, chunk, dots);
        for (std::size_t j = 0; j < chunk.size(); ++j) {
            if (cands.stops(c, chunk[j], dots[j])) return true;
        }
    }
    return false;
}

// Walks the candidates in order; each kept one is tested against every later
// candidate not yet stopped. Stops once `limit` are kept.
std::vector<Status> statuses_forward(Candidates& cands, std::size_t limit) {
    const std::size_t n = cands.size();
    std::vector<Status> status(n, Status::Unknown);
    std::vector<uint32_t> open;
    std::vector<float> dots;
    std::size_t kept = 0;
    for (std::size_t c = 0; c < n && kept < limit; ++c) {
        if (status[c] == Status::Discarded) continue;
        status[c] = Status::Kept;
        if (++kept == limit) break;
        open.clear();
        for (std::size_t later = c + 1; later < n; ++later) {
            if (status[later] == Status::Unknown) open.push_back(static_cast<uint32_t>(later));
        }
        // Each later candidate is the query, c the scored row.
        cands.dots(c, open, dots);
        for (std::size_t j = 0; j < open.size(); ++j) {
            if (cands.stops(open[j], c, dots[j])) status[open[j]] = Status::Discarded;
        }
    }
    return status;
}

// Statuses of a list whose candidates' statuses are all known but the one at
// `fresh`. Before it nothing changes. If it is discarded, nothing after it
// changes either. If it is kept, a later kept candidate turns discarded when
// a newly kept one stops it; a later discarded one is tested again only once
// some kept candidate before it has turned discarded (else whatever stopped
// it still does), and turns kept when none stops it now.
std::vector<Status> statuses_with_one_new(Candidates& cands, std::span<const Status> known, std::size_t fresh) {
    const std::size_t n = cands.size();
    std::vector<Status> status(known.begin(), known.end());
    std::vector<uint32_t> kept;
    for (std::size_t i = 0; i < fresh; ++i) {
        if (status[i] == Status::Kept) kept.push_back(static_cast<uint32_t>(i));
    }
    std::vector<float> dots;
    const uint32_t f = static_cast<uint32_t>(fresh);
    if (stopped_by_any(cands, f, kept, dots)) {
        status[fresh] = Status::Discarded;
        return status;
    }
    status[fresh] = Status::Kept;

    // Whether the new candidate stops each later kept one, in one go.
    std::vector<uint32_t> later_kept;
    for (std::size_t j = fresh + 1; j < n; ++j) {
        if (status[j] == Status::Kept) later_kept.push_back(static_cast<uint32_t>(j));
    }
    std::vector<float> fresh_dots;
    cands.dots(f, later_kept, fresh_dots);

    std::vector<uint32_t> newly_kept{f};
    bool some_kept_turned = false;
    std::size_t next_later = 0;
    for (std::size_t j = fresh + 1; j < n; ++j) {
        const uint32_t c = static_cast<uint32_t>(j);
        if (status[j] == Status::Kept) {
            bool stopped = cands.stops(c, f, fresh_dots[next_later++]);
            if (!stopped && newly_kept.size() > 1) {
                stopped = stopped_by_any(cands, c, std::span<const uint32_t>(newly_kept).subspan(1), dots);
            }
            if (stopped) {
                status[j] = Status::Discarded;
                some_kept_turned = true;
            }
        } else if (some_kept_turned) {
            kept.clear();
            for (std::size_t i = 0; i < j; ++i) {
                if (status[i] == Status::Kept) kept.push_back(static_cast<uint32_t>(i));
            }
            if (!stopped_by_any(cands, c, kept, dots)) {
                status[j] = Status::Kept;
                newly_kept.push_back(c);
            }
        }
    }
    return status;
}

// Resolves statuses on demand: candidate c is discarded by the first
// earlier candidate that stops it and is itself kept. Earlier candidates are
// tested eight at a time; a stopping one of unknown status is resolved
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
    // Whether earlier candidate k would stop c were it kept; k and the next
    // seven earlier candidates are tested together.
    bool stops(uint32_t c, uint32_t k) {
        std::vector<bool>& row = tested_[c];
        if (k >= row.size()) {
            const uint32_t end = std::min<uint32_t>(c, k + kScreenRowsPerPass);
            others_.clear();
            for (uint32_t j = k; j < end; ++j) others_.push_back(j);
            cands_.dots(c, others_, dots_);
            for (std::size_t j = 0; j < others_.size(); ++j) row.push_back(cands_.stops(c, others_[j], dots_[j]));
        }
        return row[k];
    }

    Candidates& cands_;
    std::vector<Status> status_;
    std::vector<uint32_t> next_;
    std::vector<std::vector<bool>> tested_;  // tested_[c][k]: whether k stops c, for k tested so far
    std::vector<uint32_t> stack_;
    std::vector<uint32_t> others_;
    std::vector<float> dots_;
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

// The same result when only a few candidates leave: the last `excess`
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

// The one candidate whose status `known` lacks, if it lacks exactly one.
std::optional<std::size_t> single_unknown(std::span<const Status> known) {
    std::optional<std::size_t> fresh;
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (known[i] != Status::Unknown) continue;
        if (fresh) return std::nullopt;
        fresh = i;
    }
    return fresh;
}

}  // namespace

void Hnsw::select_links(uint32_t base, std::span<const Neighbour> sorted, uint64_t budget,
                        vocab::Metric metric, std::vector<Neighbour>& out, std::span<const LinkStatus> known,
                        std::vector<LinkStatus>* out_status) const {
    out.clear();
    if (out_status != nullptr) out_status->clear();
    const std::size_t limit = static_cast<std::size_t>(std::min<uint64_t>(budget, sorted.size()));
    const uint64_t have = vector_count();
    bool diverse = selection == vocab::HnswSelection::Diverse && sorted.size() > limit && base < have;
    for (std::size_t i = 0; diverse && i < sorted.size(); ++i) diverse = sorted[i].node < have;
    if (!diverse) {
        out.assign(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(limit));
        if (out_status != nullptr) out_status->assign(limit, Status::Unknown);
        return;
    }

    const bool l2 = metric == vocab::Metric::L2;
    const bool cached_sq = vector_sq_sums_.size() == have;
    const std::size_t len = static_cast<std::size_t>(vector_dim());
    auto sq_sum = [&](uint32_t v) {
        if (cached_sq) return vector_sq_sums_[v];
        float sq = 0.0f;
        for (float x : vector_of(v)) {
            const float p = x * x;
            sq = sq + p;
        }
        return sq;
    };

    std::vector<const float*> rows;
    std::vector<float> halves;
    std::vector<double> norms;
    rows.reserve(sorted.size());
    halves.reserve(sorted.size());
    norms.reserve(sorted.size());
    for (const Neighbour& c : sorted) {
        const float sq = sq_sum(c.node);
        rows.push_back(vector_of(c.node).data());
        halves.push_back(l2 ? 0.5f * sq : 0.0f);
        norms.push_back(screen::norm_bound(sq, len));
    }
    const float base_sq = sq_sum(base);
    Candidates cands(std::move(rows), std::move(halves), std::move(norms), vector_of(base).data(),
                     l2 ? 0.5f * base_sq : 0.0f, screen::norm_bound(base_sq, len), len, simd::features());

    std::vector<Status> status;
    std::vector<bool> chosen;
    const std::optional<std::size_t> fresh =
        known.size() == sorted.size() && sorted.size() == limit + 1 ? single_unknown(known) : std::nullopt;
    if (fresh) {
        status = statuses_with_one_new(cands, known, *fresh);
        chosen = chosen_from(status, limit);
    } else if (out_status == nullptr && sorted.size() - limit <= kMaxBackwardExcess) {
        chosen = chosen_backward(cands, limit);
    } else {
        status = statuses_forward(cands, limit);
        chosen = chosen_from(status, limit);
    }
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (!chosen[i]) continue;
        out.push_back(sorted[i]);
        if (out_status != nullptr) out_status->push_back(status.empty() ? Status::Unknown : status[i]);
    }
}

}  // namespace kivo::search
