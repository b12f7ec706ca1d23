// Index benchmark: 100,000 random unit vectors of dimension 384 (cosine,
// 4-bit): brute-force QPS, HNSW and IVF-Flat build time and QPS, recall@10
// against the brute-force scan, and bytes held per stored vector.
//
// Usage: bench_indexes [n_vectors] [n_queries] [indexes], indexes a subset of
// "ivf,hnsw" (default both; brute force always runs: it is the reference).
// Times are thread CPU time.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "engine/engine.h"
#include "simd/dispatch.h"

using kivo::vocab::EngineConfig;
using kivo::vocab::IndexType;
using kivo::engine::Kivo;
using kivo::vocab::Metric;

namespace {

constexpr std::size_t kDim = 384;
constexpr uint64_t kTop = 10;

// Timings are CPU time of the calling thread, so that other processes on a
// shared machine do not inflate them (everything runs on this one thread).
struct Clock {
    double start = now();
    static double now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    double seconds() const { return now() - start; }
};

std::vector<float> unit_vectors(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> out(n * kDim);
    for (std::size_t j = 0; j < n; ++j) {
        float* v = out.data() + j * kDim;
        double s = 0.0;
        for (std::size_t i = 0; i < kDim; ++i) {
            v[i] = g(rng);
            s += static_cast<double>(v[i]) * v[i];
        }
        const float inv = static_cast<float>(1.0 / std::sqrt(s));
        for (std::size_t i = 0; i < kDim; ++i) v[i] *= inv;
    }
    return out;
}

EngineConfig config(IndexType type) {
    EngineConfig c;
    c.dim = kDim;
    c.bit_width = 4;
    c.n4_dims = 512;  // padded_dim of 384
    c.metric = Metric::Cosine;
    c.index_type = type;
    if (type == IndexType::IvfFlat) {
        c.ivf_nlist = 256;
        c.ivf_nprobe = 8;
    }
    if (type == IndexType::Hnsw) {
        c.hnsw_m = 32;
        c.hnsw_ef_construction = 200;
    }
    return c;
}

// Bytes held by the index per stored vector: the flat store by its sizes,
// the IVF lists and the graph's nodes, links and construction vectors by
// their container capacities (what they have reserved).
double bytes_per_vector(const Kivo& k) {
    std::size_t bytes = k.codes().size() + k.ids().size() * 8 + k.norms().size() * 4;
    if (const auto& ivf = k.ivf()) {
        for (const auto& l : ivf->lists) {
            bytes += sizeof(l) + l.centroid.capacity() * 4 + l.codes.capacity() + l.ids.capacity() * 8 +
                     l.norms.capacity() * 4;
        }
    }
    if (const auto& h = k.hnsw()) {
        bytes += h->memory_bytes();
    }
    return static_cast<double>(bytes) / static_cast<double>(k.len());
}

struct Run {
    double qps;
    double recall;
};

Run run_queries(const Kivo& k, const Kivo* exact, const std::vector<float>& queries, std::size_t nq) {
    std::vector<std::vector<kivo::search::ScoredId>> results(nq);
    const Clock clock;
    for (std::size_t q = 0; q < nq; ++q) {
        auto r = k.search(std::span<const float>(queries).subspan(q * kDim, kDim), kTop, std::nullopt);
        if (!r) {
            std::fprintf(stderr, "search failed: %s\n", r.error().message().c_str());
            std::exit(1);
        }
        results[q] = std::move(*r);
    }
    const double secs = clock.seconds();
    double recall = 1.0;
    if (exact != nullptr) {
        std::size_t hits = 0;
        for (std::size_t q = 0; q < nq; ++q) {
            const auto truth = *exact->search(std::span<const float>(queries).subspan(q * kDim, kDim), kTop,
                                              std::nullopt);
            const float threshold = truth.back().score;
            for (const auto& e : results[q]) hits += e.score >= threshold ? 1 : 0;
        }
        recall = static_cast<double>(hits) / static_cast<double>(nq * kTop);
    }
    return {static_cast<double>(nq) / secs, recall};
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
    const std::string which = argc > 3 ? argv[3] : "ivf,hnsw";
    const uint32_t f = kivo::simd::features();
    std::printf("vectors %zu, dim %zu (padded 512), cosine, 4-bit, k=%llu, %zu queries, one thread\n", n, kDim,
                static_cast<unsigned long long>(kTop), nq);
    std::printf("cpu features: avx2=%d fma=%d avx512f=%d avx512bw=%d\n", (f & kivo::simd::kAvx2) != 0,
                (f & kivo::simd::kFma) != 0, (f & kivo::simd::kAvx512F) != 0, (f & kivo::simd::kAvx512Bw) != 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<float> data = unit_vectors(n, 1);
    const std::vector<float> queries = unit_vectors(nq, 2);
    std::vector<uint64_t> ids(n);
    for (std::size_t j = 0; j < n; ++j) ids[j] = j;

    Kivo bf = *Kivo::create(config(IndexType::BruteForce));
    Clock clock;
    if (!bf.add_flat(ids, data)) return 1;
    std::printf("brute force: add %.2f s, %.1f bytes/vector\n", clock.seconds(), bytes_per_vector(bf));
    const Run b = run_queries(bf, nullptr, queries, nq);
    std::printf("brute force: %.1f queries/s (%.3f ms/query)\n", b.qps, 1000.0 / b.qps);

    if (which.find("ivf") != std::string::npos) {
        Kivo ivf = *Kivo::create(config(IndexType::IvfFlat));
        clock = Clock();
        if (!ivf.add_flat(ids, data)) return 1;
        const double add_s = clock.seconds();
        clock = Clock();
        if (!ivf.build()) return 1;
        std::printf("ivf-flat nlist 256: add %.2f s, build (k-means) %.2f s, %.1f bytes/vector\n", add_s,
                    clock.seconds(), bytes_per_vector(ivf));
        for (uint64_t p : {8u, 32u}) {
            ivf.set_nprobe(p);
            const Run r = run_queries(ivf, &bf, queries, nq);
            std::printf("ivf-flat nprobe %llu: %.1f queries/s (%.3f ms/query), recall@10 %.3f\n",
                        static_cast<unsigned long long>(p), r.qps, 1000.0 / r.qps, r.recall);
        }
    }
    if (which.find("hnsw") != std::string::npos) {
        Kivo h = *Kivo::create(config(IndexType::Hnsw));
        clock = Clock();
        if (!h.add_flat(ids, data)) return 1;
        const double add_s = clock.seconds();
        std::printf("hnsw m 32 ef_construction 200: insertion %.2f s (%.0f vectors/s), %.1f bytes/vector with "
                    "construction vectors\n",
                    add_s, static_cast<double>(n) / add_s, bytes_per_vector(h));
        if (!h.build()) return 1;
        std::printf("hnsw after build(): %.1f bytes/vector\n", bytes_per_vector(h));
        for (uint64_t ef : {64u, 128u}) {
            h.set_ef_search(ef);
            const Run r = run_queries(h, &bf, queries, nq);
            std::printf("hnsw ef %llu: %.1f queries/s (%.3f ms/query), recall@10 %.3f\n",
                        static_cast<unsigned long long>(ef), r.qps, 1000.0 / r.qps, r.recall);
        }
    }
    return 0;
}
