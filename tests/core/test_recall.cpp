// Recall of the approximate indexes against the brute-force scan of the same
// vectors, on clustered synthetic data (cosine, 4-bit codes).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/engine.h"
#include "recall_util.h"

namespace kivo::engine {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kQueries = 40;
#else
constexpr std::size_t kQueries = 200;
#endif
constexpr std::size_t kVectors = 20000;
constexpr std::size_t kDim = 128;
constexpr std::size_t kCentres = 100;
constexpr uint64_t kTop = 10;

// Points drawn around 100 Gaussian centres whose clouds overlap: the noise
// (sd 1.5 per coordinate) is wider than the spread of the centres (sd 1), so
// a cloud's radius exceeds the typical distance between two centres.
struct Data {
    std::vector<float> flat;  // kVectors rows
    std::vector<std::vector<float>> queries;
};

Data make_data() {
    std::mt19937 rng(2024);
    std::normal_distribution<float> g;
    std::vector<std::vector<float>> centres(kCentres, std::vector<float>(kDim));
    for (auto& c : centres) for (float& x : c) x = g(rng);
    std::uniform_int_distribution<std::size_t> pick(0, kCentres - 1);
    auto draw = [&] {
        const auto& c = centres[pick(rng)];
        std::vector<float> v(kDim);
        for (std::size_t i = 0; i < kDim; ++i) v[i] = c[i] + 1.5f * g(rng);
        return v;
    };
    Data d;
    d.flat.reserve(kVectors * kDim);
    for (std::size_t j = 0; j < kVectors; ++j) {
        const auto v = draw();
        d.flat.insert(d.flat.end(), v.begin(), v.end());
    }
    for (std::size_t q = 0; q < kQueries; ++q) d.queries.push_back(draw());
    return d;
}

EngineConfig config(IndexType type) {
    EngineConfig c;
    c.dim = kDim;
    c.bit_width = 4;
    c.n4_dims = kDim;  // padded_dim 128, pure 4-bit
    c.metric = Metric::Cosine;
    c.index_type = type;
    if (type == IndexType::IvfFlat) {
        c.ivf_nlist = 256;
        c.ivf_nprobe = 8;
    }
    if (type == IndexType::Hnsw) {  // the module's defaults
        c.hnsw_m = 32;
        c.hnsw_ef_construction = 200;
        c.hnsw_ef_search = 0;
    }
    return c;
}

class Recall : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = new Data(make_data());
        exact_ = new Kivo(*Kivo::create(config(IndexType::BruteForce)));
        std::vector<uint64_t> ids(kVectors);
        for (std::size_t j = 0; j < kVectors; ++j) ids[j] = j;
        ASSERT_TRUE(exact_->add_flat(ids, data_->flat));
    }
    static void TearDownTestSuite() {
        delete exact_;
        delete data_;
    }
    static Kivo build(IndexType type) {
        Kivo k = *Kivo::create(config(type));
        std::vector<uint64_t> ids(kVectors);
        for (std::size_t j = 0; j < kVectors; ++j) ids[j] = j;
        EXPECT_TRUE(k.add_flat(ids, data_->flat));
        EXPECT_TRUE(k.build());
        return k;
    }
    static inline Data* data_ = nullptr;
    static inline Kivo* exact_ = nullptr;
};

TEST_F(Recall, HnswDefaultSettings) {
    const Kivo h = build(IndexType::Hnsw);
    const double r = testing::recall_against(h, *exact_, data_->queries, kTop);
    RecordProperty("recall_at_10", std::to_string(r));
    std::printf("HNSW m=32 ef_construction=200 ef_search=64: recall@10 = %.4f\n", r);
    EXPECT_GE(r, 0.9);
}

TEST_F(Recall, IvfFlatNprobe8Of256) {
    const Kivo i = build(IndexType::IvfFlat);
    ASSERT_EQ(i.ivf()->lists.size(), 256u);
    const double r = testing::recall_against(i, *exact_, data_->queries, kTop);
    RecordProperty("recall_at_10", std::to_string(r));
    std::printf("IVF-Flat nlist=256 nprobe=8: recall@10 = %.4f\n", r);
    EXPECT_GE(r, 0.8);
}

// Well-separated clusters: 200 tight clouds (noise sd 0.05 around centres of
// sd 1). Taking only the closest candidates fills every list with the node's
// own cloud, so the clouds fall apart into islands the search cannot cross;
// the diversity rule keeps links between them. Two 20,000-node graphs take
// too long under the sanitizers, which run the graph code in smaller tests.
struct Separated {
    static constexpr std::size_t kCentres = 200;
    static constexpr float kNoise = 0.05f;
    std::vector<float> flat;
    std::vector<std::vector<float>> queries;
};

Separated make_separated() {
    std::mt19937 rng(77);
    std::normal_distribution<float> g;
    std::vector<std::vector<float>> centres(Separated::kCentres, std::vector<float>(kDim));
    for (auto& c : centres) for (float& x : c) x = g(rng);
    std::uniform_int_distribution<std::size_t> pick(0, Separated::kCentres - 1);
    auto draw = [&] {
        const auto& c = centres[pick(rng)];
        std::vector<float> v(kDim);
        for (std::size_t i = 0; i < kDim; ++i) v[i] = c[i] + Separated::kNoise * g(rng);
        return v;
    };
    Separated d;
    for (std::size_t j = 0; j < kVectors; ++j) {
        const auto v = draw();
        d.flat.insert(d.flat.end(), v.begin(), v.end());
    }
    for (std::size_t q = 0; q < kQueries; ++q) d.queries.push_back(draw());
    return d;
}

// Nodes reached from the entry point over layer-0 links.
std::size_t reachable_on_layer0(const search::Hnsw& graph) {
    const std::size_t n = graph.size();
    std::vector<bool> seen(n, false);
    std::vector<uint32_t> stack{*graph.entry_point};
    seen[*graph.entry_point] = true;
    std::size_t count = 1;
    while (!stack.empty()) {
        const uint32_t v = stack.back();
        stack.pop_back();
        for (const uint32_t target : graph.links(v, 0)) {
            if (seen[target]) continue;
            seen[target] = true;
            ++count;
            stack.push_back(target);
        }
    }
    return count;
}

TEST(RecallSeparated, DiverseSelectionKeepsClustersConnected) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "two 20,000-node graphs: release builds only";
#endif
    const Separated d = make_separated();
    std::vector<uint64_t> ids(kVectors);
    for (std::size_t j = 0; j < kVectors; ++j) ids[j] = j;
    Kivo exact = *Kivo::create(config(IndexType::BruteForce));
    ASSERT_TRUE(exact.add_flat(ids, d.flat));
    auto recall_of = [&](const Kivo& index) { return testing::recall_against(index, exact, d.queries, kTop); };
    struct Case {
        HnswSelection selection;
        bool connected;
    };
    for (const Case c : {Case{HnswSelection::Diverse, true}, Case{HnswSelection::Closest, false}}) {
        EngineConfig cfg = config(IndexType::Hnsw);
        cfg.hnsw_selection = c.selection;
        Kivo h = *Kivo::create(cfg);
        ASSERT_TRUE(h.add_flat(ids, d.flat));
        ASSERT_TRUE(h.build());
        const double r = recall_of(h);
        const std::size_t reached = reachable_on_layer0(*h.hnsw());
        std::printf("HNSW %s selection on 200 separated clusters: recall@10 = %.4f, %zu of %zu nodes reachable\n",
                    std::string(vocab::hnsw_selection_name(c.selection)).c_str(), r, reached, kVectors);
        if (c.connected) {
            EXPECT_GE(r, 0.95);
            EXPECT_EQ(reached, kVectors);
        } else {
            // The fault the diversity rule mends: this is what "closest" gives.
            EXPECT_LT(r, 0.95);
        }
    }
}

}  // namespace
}  // namespace kivo::engine
