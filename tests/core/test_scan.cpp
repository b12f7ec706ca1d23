// The shared scan: with the pruning first pass on, brute-force and IVF
// results are those of the plain exact scan bit for bit (ids, order, scores,
// ties, NaN and infinite scores, zero and odd norms), for every metric and
// coding mode, with and without an allowlist.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "search/scan.h"
#include "simd/dispatch.h"
#include "simd/prune.h"

namespace kivo::search {
namespace {

using engine::EngineConfig;
using engine::IndexType;
using engine::Kivo;
using engine::Metric;

// Equal ids in equal order and scores equal bit for bit (NaN included).
::testing::AssertionResult same_results(const std::vector<ScoredId>& got, const std::vector<ScoredId>& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i].id != want[i].id ||
            std::bit_cast<uint32_t>(got[i].score) != std::bit_cast<uint32_t>(want[i].score)) {
            return ::testing::AssertionFailure() << "entry " << i << ": (" << got[i].id << ", " << got[i].score
                                                 << ") vs (" << want[i].id << ", " << want[i].score << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// The scan as specified, without any first pass: score, adjust, push.
std::vector<ScoredId> reference_scan(const quantize::QuantPipeline& p, std::span<const float> q, Metric metric,
                                     const CodeRun& run, const Allowlist* filter, uint64_t k) {
    TopK heap(k, run.count);
    const std::size_t pb = p.packed_bytes_per_vec();
    for (std::size_t i = 0; i < run.count; ++i) {
        if (filter != nullptr && !filter->contains(run.ids[i])) continue;
        float s = p.score(q, std::span(run.codes + i * pb, pb));
        if (i < run.norms.size()) s = quantize::adjust_score(metric, s, run.norms[i]);
        heap.push(run.ids[i], s);
    }
    return std::move(heap).into_sorted();
}

std::vector<ScoredId> scan_with(const quantize::QuantPipeline& p, std::span<const float> q, Metric metric,
                                const CodeRun& run, const Allowlist* filter, uint64_t k, bool prune,
                                ScanStats* stats = nullptr) {
    TopK heap(k, run.count);
    Scanner scanner(p, q, metric, prune);
    scanner.scan(run, filter, heap);
    if (stats != nullptr) {
        stats->scanned += scanner.stats().scanned;
        stats->exact += scanner.stats().exact;
    }
    return std::move(heap).into_sorted();
}

struct Config {
    const char* name;
    Metric metric;
    uint64_t n4;  // of padded 64
    IndexType type;
};

std::string config_name(const ::testing::TestParamInfo<Config>& info) { return info.param.name; }

constexpr std::size_t kDim = 48;  // padded to 64

// Clustered vectors (so that pruning has something to skip), with exact
// duplicates (equal scores), zero vectors (zero norms), repeated ids and
// vectors of very different lengths (dot and l2).
struct Data {
    std::vector<uint64_t> ids;
    std::vector<float> flat;
    std::vector<std::vector<float>> centers;
};

Data make_data(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    Data d;
    for (int c = 0; c < 24; ++c) {
        std::vector<float> v(kDim);
        for (auto& x : v) x = g(rng);
        d.centers.push_back(v);
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<float> v(kDim);
        if (i % 97 == 5) {
            std::fill(v.begin(), v.end(), 0.0f);
        } else if (i % 13 == 7 && i > 20) {
            v.assign(d.flat.begin() + (i - 20) * kDim, d.flat.begin() + (i - 19) * kDim);
        } else {
            const auto& c = d.centers[rng() % d.centers.size()];
            const float len = (i % 11 == 3) ? 4.0f : 1.0f;
            for (std::size_t j = 0; j < kDim; ++j) v[j] = len * (c[j] + 0.35f * g(rng));
        }
        d.flat.insert(d.flat.end(), v.begin(), v.end());
        d.ids.push_back(i % 50 == 9 ? d.ids.empty() ? 0 : d.ids.back() : (i % 61 == 1 ? ~uint64_t{0} - i : i));
    }
    return d;
}

// The query of round r: mostly near a stored vector, some random, and the
// odd ones out (zero, NaN, tiny and huge).
std::vector<float> make_query(const Data& d, std::size_t r, std::mt19937& rng) {
    std::normal_distribution<float> g;
    std::vector<float> q(kDim);
    const std::size_t n = d.ids.size();
    switch (r % 50) {
        case 0: return q;  // zero
        case 1:
            for (auto& x : q) x = g(rng);
            q[3] = std::numeric_limits<float>::quiet_NaN();
            return q;
        case 2:
            for (auto& x : q) x = 1e-30f * g(rng);
            return q;
        case 3:
            for (auto& x : q) x = 1e30f * g(rng);
            return q;
        case 4:
        case 5:
            for (auto& x : q) x = g(rng);
            return q;
        default: {
            const std::size_t i = rng() % n;
            for (std::size_t j = 0; j < kDim; ++j) q[j] = d.flat[i * kDim + j] + 0.2f * g(rng);
            return q;
        }
    }
}

class ScanEquality : public ::testing::TestWithParam<Config> {};

// Thousands of queries per configuration, k and allowlists varying: the
// engine's pruned search, and a pruned scan, equal the plain exact scan.
TEST_P(ScanEquality, PrunedSearchEqualsTheExactScan) {
    const Config& cfg = GetParam();
    EngineConfig c;
    c.dim = kDim;
    c.n4_dims = cfg.n4;
    c.bit_width = cfg.n4 == 0 ? 2 : 4;
    c.metric = cfg.metric;
    c.index_type = cfg.type;
    c.ivf_nlist = 16;
    c.ivf_nprobe = 4;
    auto made = Kivo::create(c);
    ASSERT_TRUE(made);
    Kivo kivo = std::move(*made);
    const Data d = make_data(1500, 42);
    ASSERT_TRUE(kivo.add_flat(d.ids, d.flat));
    if (cfg.type == IndexType::IvfFlat) {
        ASSERT_TRUE(kivo.build());
    }

    const auto& p = kivo.pipeline();
    const CodeRun all{kivo.codes().data(), kivo.ids(), kivo.norms(), kivo.ids().size()};
    const uint64_t ks[] = {1, 10, 100, 3, 2000};
    std::mt19937 rng(5);
    ScanStats stats;
    std::size_t pruned_queries = 0;
    std::vector<float> all_queries;
    for (std::size_t r = 0; r < 1000; ++r) {
        const std::vector<float> raw = make_query(d, r, rng);
        all_queries.insert(all_queries.end(), raw.begin(), raw.end());
        const uint64_t k = ks[r % 5];
        std::optional<std::vector<uint64_t>> allow;
        if (r % 3 == 1) {
            allow.emplace();
            for (std::size_t i = 0; i < d.ids.size(); ++i) {
                if (rng() % 4 != 0) allow->push_back(d.ids[i]);
            }
        } else if (r % 7 == 2) {
            allow = std::vector<uint64_t>{d.ids[r % d.ids.size()], 12345678, d.ids[(7 * r) % d.ids.size()]};
        }
        std::optional<std::span<const uint64_t>> allow_span;
        if (allow) allow_span = std::span<const uint64_t>(*allow);

        auto got = kivo.search(raw, k, allow_span);
        ASSERT_TRUE(got);
        const std::vector<float> q = p.transform_query(raw);
        std::vector<ScoredId> want;
        if (cfg.type == IndexType::BruteForce) {
            std::optional<Allowlist> filter;
            if (allow) filter = Allowlist::create(*allow);
            const Allowlist* f = filter ? &*filter : nullptr;
            want = reference_scan(p, q, cfg.metric, all, f, k);
            ASSERT_TRUE(same_results(scan_with(p, q, cfg.metric, all, f, k, false), want)) << "round " << r;
            ScanStats one;
            ASSERT_TRUE(same_results(scan_with(p, q, cfg.metric, all, f, k, true, &one), want)) << "round " << r;
            stats.scanned += one.scanned;
            stats.exact += one.exact;
            if (one.exact < one.scanned) ++pruned_queries;
        } else {
            want = kivo.ivf()->search(p, q, k, allow_span, false);
        }
        ASSERT_TRUE(same_results(*got, want)) << "round " << r << " k " << k;
    }
    // The batch scan interleaves queries that take the first pass with
    // queries scored exactly (odd queries, heaps not yet full) chunk by
    // chunk: every row still equals search(), and the scan without the
    // first pass. (IVF-Flat's batch pre-filters an allowlist where search()
    // filters the probed lists: those rows differ by design.)
    std::vector<uint64_t> three_quarters;
    for (std::size_t i = 0; i < d.ids.size(); ++i) {
        if (i % 4 != 0) three_quarters.push_back(d.ids[i]);
    }
    for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{100}}) {
        for (const bool filtered : {false, true}) {
            std::optional<std::span<const uint64_t>> allow_span;
            if (filtered) allow_span = std::span<const uint64_t>(three_quarters);
            const auto batch = kivo.search_batch(all_queries, 1000, k, allow_span, 2);
            const auto plain = kivo.search_batch(all_queries, 1000, k, allow_span, 2, {}, false);
            ASSERT_TRUE(batch && plain);
            EXPECT_EQ(batch->ids, plain->ids) << "k " << k;
            for (std::size_t i = 0; i < batch->scores.size(); ++i) {
                ASSERT_EQ(std::bit_cast<uint32_t>(batch->scores[i]), std::bit_cast<uint32_t>(plain->scores[i]))
                    << "k " << k << " entry " << i;
            }
            for (std::size_t r = 0; r < 1000 && !(filtered && cfg.type == IndexType::IvfFlat); r += 7) {
                const auto one = kivo.search(std::span<const float>(all_queries).subspan(r * kDim, kDim), k, allow_span);
                ASSERT_TRUE(one);
                for (std::size_t i = 0; i < one->size(); ++i) {
                    ASSERT_EQ((*one)[i].id, batch->ids[r * batch->width + i]) << "round " << r << " k " << k;
                    ASSERT_EQ(std::bit_cast<uint32_t>((*one)[i].score),
                              std::bit_cast<uint32_t>(batch->scores[r * batch->width + i]));
                }
            }
        }
    }

    if (cfg.type == IndexType::BruteForce && simd::prune_available(simd::features())) {
        // Not a vacuous comparison: most queries skipped codes.
        EXPECT_GT(pruned_queries, 500u);
        EXPECT_LT(stats.exact, stats.scanned * 7 / 10) << stats.exact << " of " << stats.scanned;
    }
}

const Config kConfigs[] = {
    {"brute_cosine_4bit", Metric::Cosine, 64, IndexType::BruteForce},
    {"brute_cosine_2bit", Metric::Cosine, 0, IndexType::BruteForce},
    {"brute_cosine_mixed", Metric::Cosine, 24, IndexType::BruteForce},
    {"brute_dot_4bit", Metric::Dot, 64, IndexType::BruteForce},
    {"brute_dot_2bit", Metric::Dot, 0, IndexType::BruteForce},
    {"brute_dot_mixed", Metric::Dot, 24, IndexType::BruteForce},
    {"brute_l2_4bit", Metric::L2, 64, IndexType::BruteForce},
    {"brute_l2_2bit", Metric::L2, 0, IndexType::BruteForce},
    {"brute_l2_mixed", Metric::L2, 24, IndexType::BruteForce},
    {"ivf_cosine_4bit", Metric::Cosine, 64, IndexType::IvfFlat},
    {"ivf_dot_2bit", Metric::Dot, 0, IndexType::IvfFlat},
    {"ivf_l2_mixed", Metric::L2, 24, IndexType::IvfFlat},
};
INSTANTIATE_TEST_SUITE_P(Configs, ScanEquality, ::testing::ValuesIn(kConfigs), config_name);

// Norms no engine computes (a damaged or hand-made file may still hold them):
// zero, tiny, around the cosine cutoff, subnormal, negative, huge, infinite
// and NaN (NaN scores sit in the heap, rank last and are displaced by any
// number). The result stays that of the exact scan.
TEST(ScanEquality, OddNormsGiveTheExactResult) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float odd[] = {0.0f, -0.0f, 1e-9f, 1.0000001e-9f, 1e-30f, 1e-40f, -3.0f, 1e30f, 3e38f, inf, -inf, nan};
    EngineConfig c;
    c.dim = kDim;
    c.n4_dims = 64;
    auto made_p = quantize::QuantPipeline::create(c);
    ASSERT_TRUE(made_p);
    const auto& p = *made_p;
    const Data d = make_data(800, 9);
    std::vector<uint8_t> codes;
    std::vector<float> norms;
    for (std::size_t i = 0; i < d.ids.size(); ++i) {
        const auto code = p.encode(std::span(d.flat).subspan(i * kDim, kDim));
        codes.insert(codes.end(), code.begin(), code.end());
        norms.push_back(p.compute_norm(code));
    }
    std::mt19937 rng(1);
    for (const Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        for (int placement = 0; placement < 4; ++placement) {
            std::vector<float> n = norms;
            // Odd norms early (inside the heap), late, everywhere, or one NaN first.
            for (std::size_t i = 0; i < n.size(); ++i) {
                const bool pick = placement == 0 ? i < 24 : placement == 1 ? i > 600 && i % 5 == 0
                                                  : placement == 2 ? i % 9 == 0 : i == 0;
                if (pick) n[i] = placement == 3 ? nan : odd[i % std::size(odd)];
            }
            // Norms shorter than the codes: the last codes keep raw scores.
            const std::span<const float> ns = placement == 1 ? std::span<const float>(n).first(700) : n;
            const CodeRun run{codes.data(), d.ids, ns, d.ids.size()};
            for (int r = 0; r < 60; ++r) {
                const auto q = p.transform_query(make_query(d, 6 + r, rng));
                for (const uint64_t k : {1, 10, 100}) {
                    const auto want = reference_scan(p, q, metric, run, nullptr, k);
                    EXPECT_TRUE(same_results(scan_with(p, q, metric, run, nullptr, k, true), want))
                        << "metric " << int(metric) << " placement " << placement << " k " << k;
                }
            }
        }
    }
}

}  // namespace
}  // namespace kivo::search
