// IvfFlat: centroid scoring, k-means build, list assignment and the probing
// query.
#include "search/ivf.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "search/filter.h"
#include "simd/centroid.h"

namespace kivo::search {

using vocab::Metric;

namespace {

constexpr uint64_t kReseedStride = 7919;
// Codes scored per batched kernel call.
constexpr std::size_t kScoreBlock = 256;
// Training vectors per assignment chunk (bounds the score buffer).
constexpr std::size_t kAssignChunk = 64;

float sum_of_squares(std::span<const float> c) {
    // Fixed order: one float32 sum in index order.
    float s = 0.0f;
    for (float x : c) s = s + x * x;
    return s;
}

// Higher score wins; the later centroid wins when the best so far is not
// greater (so equal scores go to the higher index).
std::size_t best_of(const float* scores, std::size_t count) {
    std::size_t best = 0;
    float best_score = scores[0];
    for (std::size_t l = 1; l < count; ++l) {
        if (!(best_score > scores[l])) {
            best = l;
            best_score = scores[l];
        }
    }
    return best;
}

// The centroids in the transposed block layout of simd::centroid_dots, so
// that many vectors are scored against all centroids with one accumulator
// lane per centroid. Every score is bit-identical to centroid_score().
class CentroidTable {
public:
    CentroidTable(Metric metric, std::span<const std::span<const float>> centroids)
        : metric_(metric), centroids_(centroids.begin(), centroids.end()) {
        count_ = centroids_.size();
        len_ = count_ == 0 ? 0 : centroids_[0].size();
        uniform_ = std::all_of(centroids_.begin(), centroids_.end(),
                               [&](std::span<const float> c) { return c.size() == len_; });
        if (metric_ == Metric::L2) {
            sq_.resize(count_);
            for (std::size_t l = 0; l < count_; ++l) sq_[l] = sum_of_squares(centroids_[l]);
        }
        if (!uniform_ || count_ == 0) return;
        nblocks_ = (count_ + width_ - 1) / width_;
        blocks_.assign(nblocks_ * len_ * width_, 0.0f);
        for (std::size_t l = 0; l < count_; ++l) {
            float* dst = blocks_.data() + (l / width_) * len_ * width_ + l % width_;
            for (std::size_t i = 0; i < len_; ++i) dst[i * width_] = centroids_[l][i];
        }
    }

    std::size_t count() const { return count_; }
    // Room per vector in a score buffer.
    std::size_t stride() const { return uniform_ ? nblocks_ * width_ : count_; }

    // Scores of `vecs` against every centroid: out[v * stride() + l].
    void scores(std::span<const std::span<const float>> vecs, float* out) const {
        if (!uniform_) {
            for (std::size_t v = 0; v < vecs.size(); ++v) {
                for (std::size_t l = 0; l < count_; ++l) {
                    out[v * stride() + l] = centroid_score(metric_, vecs[v], centroids_[l]);
                }
            }
            return;
        }
        // Vectors at least as long as the centroids go through the kernel
        // together; shorter ones are summed over their own length.
        std::vector<const float*> full;
        std::vector<std::size_t> full_pos;
        full.reserve(vecs.size());
        for (std::size_t v = 0; v < vecs.size(); ++v) {
            if (vecs[v].size() >= len_) {
                full.push_back(vecs[v].data());
                full_pos.push_back(v);
            } else {
                const float* p = vecs[v].data();
                simd::centroid_dots(&p, 1, vecs[v].size(), blocks_.data(), nblocks_, len_, width_,
                                    out + v * stride());
            }
        }
        if (!full.empty()) {
            if (full.size() == vecs.size()) {
                simd::centroid_dots(full.data(), full.size(), len_, blocks_.data(), nblocks_, len_, width_, out);
            } else {
                std::vector<float> tmp(full.size() * stride());
                simd::centroid_dots(full.data(), full.size(), len_, blocks_.data(), nblocks_, len_, width_,
                                    tmp.data());
                for (std::size_t f = 0; f < full.size(); ++f) {
                    std::copy_n(tmp.data() + f * stride(), stride(), out + full_pos[f] * stride());
                }
            }
        }
        if (metric_ == Metric::L2) {
            for (std::size_t v = 0; v < vecs.size(); ++v) {
                float* o = out + v * stride();
                for (std::size_t l = 0; l < count_; ++l) o[l] = 2.0f * o[l] - sq_[l];
            }
        }
    }

    // Best centroid of each vector.
    void assign(std::span<const std::vector<float>> vecs, std::span<uint64_t> out) const {
        std::vector<float> buf(kAssignChunk * stride());
        std::vector<std::span<const float>> chunk;
        for (std::size_t start = 0; start < vecs.size(); start += kAssignChunk) {
            const std::size_t n = std::min(kAssignChunk, vecs.size() - start);
            chunk.assign(vecs.begin() + start, vecs.begin() + start + n);
            scores(chunk, buf.data());
            for (std::size_t j = 0; j < n; ++j) out[start + j] = best_of(buf.data() + j * stride(), count_);
        }
    }

private:
    Metric metric_;
    std::vector<std::span<const float>> centroids_;
    std::size_t width_ = simd::centroid_block_width();
    std::size_t count_ = 0;
    std::size_t len_ = 0;
    bool uniform_ = true;
    std::size_t nblocks_ = 0;
    std::vector<float> blocks_;
    std::vector<float> sq_;
};

// Scores of one vector against every list's centroid, eight centroids at a
// time so that eight independent sums are in flight (each still one float32
// sum in index order, as centroid_score computes it).
void score_lists(Metric metric, std::span<const float> v, const std::vector<IvfList>& lists, float* out) {
    std::size_t l = 0;
    for (; l + 8 <= lists.size(); l += 8) {
        const float* c[8];
        std::size_t n = v.size();
        for (std::size_t j = 0; j < 8; ++j) {
            c[j] = lists[l + j].centroid.data();
            n = std::min(n, lists[l + j].centroid.size());
        }
        bool same = true;
        for (std::size_t j = 0; j < 8; ++j) same = same && lists[l + j].centroid.size() == lists[l].centroid.size();
        if (!same) {
            for (std::size_t j = 0; j < 8; ++j) out[l + j] = centroid_score(metric, v, lists[l + j].centroid);
            continue;
        }
        float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        for (std::size_t i = 0; i < n; ++i) {
            const float x = v[i];
            for (std::size_t j = 0; j < 8; ++j) s[j] = s[j] + x * c[j][i];
        }
        for (std::size_t j = 0; j < 8; ++j) {
            out[l + j] = metric == Metric::L2 ? 2.0f * s[j] - sum_of_squares(lists[l + j].centroid) : s[j];
        }
    }
    for (; l < lists.size(); ++l) out[l] = centroid_score(metric, v, lists[l].centroid);
}

std::vector<std::span<const float>> centroid_views(const std::vector<std::vector<float>>& centroids) {
    return {centroids.begin(), centroids.end()};
}

std::vector<std::span<const float>> centroid_views(const std::vector<IvfList>& lists) {
    std::vector<std::span<const float>> views;
    views.reserve(lists.size());
    for (const IvfList& l : lists) views.emplace_back(l.centroid);
    return views;
}

// Divides by the Euclidean norm when it is above 1e-9.
void normalize(std::vector<float>& c) {
    const float norm = std::sqrt(sum_of_squares(c));
    if (norm > 1e-9f) {
        for (float& x : c) x = x / norm;
    }
}

// Reserves exactly the room the lists need for their new members, so that
// the lists hold no growth slack (they only change again at the next build).
void reserve_members(std::vector<IvfList>& lists, std::span<const uint64_t> target, uint64_t pb) {
    std::vector<std::size_t> extra(lists.size(), 0);
    for (uint64_t t : target) ++extra[t];
    for (std::size_t l = 0; l < lists.size(); ++l) {
        if (extra[l] == 0) continue;
        IvfList& list = lists[l];
        list.ids.reserve(list.ids.size() + extra[l]);
        list.norms.reserve(list.norms.size() + extra[l]);
        list.codes.reserve(list.codes.size() + extra[l] * pb);
    }
}

}  // namespace

float centroid_score(Metric metric, std::span<const float> v, std::span<const float> c) {
    const std::size_t n = std::min(v.size(), c.size());
    // Fixed order: one float32 sum in index order (the batched kernels
    // reproduce it lane by lane).
    float d = 0.0f;
    for (std::size_t i = 0; i < n; ++i) d = d + v[i] * c[i];
    if (metric == Metric::L2) return 2.0f * d - sum_of_squares(c);
    return d;
}

uint64_t kmeans_init_index(uint64_t cluster, uint64_t k, uint64_t n_train, uint64_t seed) {
    const uint64_t step = std::max<uint64_t>(1, n_train / k);
    const uint64_t offset = seed % step;
    // cluster < k <= n_train keeps offset + step * cluster below step * k <= n_train.
    return (offset + step * cluster) % n_train;
}

uint64_t kmeans_reseed_index(uint64_t cluster, uint64_t n_train, uint64_t seed) {
    return (cluster * kReseedStride + seed) % n_train;  // wraps modulo 2^64 first
}

Result<IvfFlat> IvfFlat::build(uint64_t nlist, uint64_t nprobe, uint64_t packed_bytes_per_vec, uint64_t dim,
                               std::span<const uint64_t> ids, std::span<const uint8_t> codes,
                               std::span<const float> norms,
                               std::span<const std::vector<float>> training_vectors, uint64_t seed,
                               Metric metric) {
    const uint64_t n = ids.size();
    if (n == 0) return std::unexpected(KivoError::empty_index());
    // Every id needs its code, norm and training vector.
    if (norms.size() != n || training_vectors.size() < n || packed_bytes_per_vec == 0 ||
        codes.size() / packed_bytes_per_vec != n || codes.size() % packed_bytes_per_vec != 0) {
        return std::unexpected(KivoError::id_count_mismatch(n, training_vectors.size()));
    }
    const uint64_t n_train = training_vectors.size();
    // nlist 0 would leave no cluster to seed: treated as one list.
    const uint64_t k = std::min(std::max<uint64_t>(nlist, 1), n);

    std::vector<std::vector<float>> centroids(k);
    for (uint64_t c = 0; c < k; ++c) centroids[c] = training_vectors[kmeans_init_index(c, k, n_train, seed)];

    std::vector<uint64_t> assignment(n_train, 0);
    std::vector<uint64_t> best(n_train);
    const std::size_t e = training_vectors[0].size();
    for (int pass = 0; pass < kKmeansMaxPasses; ++pass) {
        const auto views = centroid_views(centroids);
        CentroidTable(metric, views).assign(training_vectors, best);
        // Assignments start at 0, so a first-pass best of 0 is no change.
        const bool changed = best != assignment;
        assignment.swap(best);
        if (!changed) break;

        std::vector<float> sums(k * e, 0.0f);
        std::vector<uint64_t> counts(k, 0);
        // Fixed order: vectors are added into their cluster's sums in order.
        for (uint64_t j = 0; j < n_train; ++j) {
            float* s = sums.data() + assignment[j] * e;
            const std::vector<float>& t = training_vectors[j];
            const std::size_t m = std::min(e, t.size());
            for (std::size_t i = 0; i < m; ++i) s[i] = s[i] + t[i];
            ++counts[assignment[j]];
        }
        for (uint64_t l = 0; l < k; ++l) {
            if (counts[l] > 0) {
                const float cnt = static_cast<float>(counts[l]);
                centroids[l].assign(sums.begin() + l * e, sums.begin() + (l + 1) * e);
                for (float& x : centroids[l]) x = x / cnt;
                if (metric == Metric::Cosine) normalize(centroids[l]);
            } else {
                centroids[l] = training_vectors[kmeans_reseed_index(l, n_train, seed)];
                if (metric == Metric::Cosine && !centroids[l].empty()) normalize(centroids[l]);
            }
        }
    }
    {
        const auto views = centroid_views(centroids);
        CentroidTable(metric, views).assign(training_vectors, assignment);
    }

    IvfFlat ivf;
    ivf.packed_bytes_per_vec = packed_bytes_per_vec;
    ivf.nprobe = nprobe;
    ivf.dim = dim;
    ivf.metric = metric;
    ivf.lists.resize(k);
    for (uint64_t l = 0; l < k; ++l) ivf.lists[l].centroid = std::move(centroids[l]);
    reserve_members(ivf.lists, std::span<const uint64_t>(assignment).first(n), packed_bytes_per_vec);
    for (uint64_t j = 0; j < n; ++j) {
        IvfList& list = ivf.lists[assignment[j]];
        list.ids.push_back(ids[j]);
        list.norms.push_back(norms[j]);
        const auto code = codes.subspan(j * packed_bytes_per_vec, packed_bytes_per_vec);
        list.codes.insert(list.codes.end(), code.begin(), code.end());
    }
    return ivf;
}

std::size_t IvfFlat::best_list(std::span<const float> v) const {
    std::vector<float> scores(lists.size());
    score_lists(metric, v, lists, scores.data());
    return best_of(scores.data(), scores.size());
}

void IvfFlat::append(std::span<const uint64_t> ids, std::span<const uint8_t> codes,
                     std::span<const float> norms, std::span<const std::vector<float>> training_vectors) {
    const auto views = centroid_views(lists);
    const CentroidTable table(metric, views);
    std::vector<uint64_t> target(ids.size());
    table.assign(training_vectors.first(ids.size()), target);
    reserve_members(lists, target, packed_bytes_per_vec);
    for (std::size_t j = 0; j < ids.size(); ++j) {
        IvfList& list = lists[target[j]];
        list.ids.push_back(ids[j]);
        list.norms.push_back(norms[j]);
        const auto code = codes.subspan(j * packed_bytes_per_vec, packed_bytes_per_vec);
        list.codes.insert(list.codes.end(), code.begin(), code.end());
    }
}

uint64_t IvfFlat::len() const {
    uint64_t total = 0;
    for (const IvfList& l : lists) total += l.size();
    return total;
}

std::vector<ScoredId> IvfFlat::search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                      uint64_t k, std::optional<std::span<const uint64_t>> allowlist) const {
    if (k == 0 || lists.empty()) return {};

    // Rank the lists by centroid score; the stable sort keeps equal scores in
    // list order.
    std::vector<float> scores(lists.size());
    score_lists(metric, query, lists, scores.data());
    std::vector<std::size_t> order(lists.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });
    const std::size_t probes = static_cast<std::size_t>(std::min<uint64_t>(nprobe, lists.size()));
    if (probes == 0) return {};

    const uint64_t pb = packed_bytes_per_vec;
    auto members = [&](const IvfList& l) -> std::size_t {
        // A list read from a damaged file may disagree with itself; only
        // complete members are scored.
        std::size_t n = std::min(l.ids.size(), l.norms.size());
        return pb == 0 ? 0 : std::min<std::size_t>(n, l.codes.size() / pb);
    };
    std::size_t candidates = 0;
    for (std::size_t r = 0; r < probes; ++r) candidates += members(lists[order[r]]);

    TopK heap(k, candidates);
    float buf[kScoreBlock];
    for (std::size_t r = 0; r < probes; ++r) {
        const IvfList& list = lists[order[r]];
        const std::size_t n = members(list);
        for (std::size_t start = 0; start < n; start += kScoreBlock) {
            const std::size_t cnt = std::min(kScoreBlock, n - start);
            pipeline.score_batch(query, list.codes.data() + start * pb, cnt, buf);
            for (std::size_t j = 0; j < cnt; ++j) {
                heap.push(list.ids[start + j], quantize::adjust_score(metric, buf[j], list.norms[start + j]));
            }
        }
    }
    std::vector<ScoredId> out = std::move(heap).into_sorted();
    if (allowlist) out = keep_listed(std::move(out), *allowlist);
    return out;
}

}  // namespace kivo::search
