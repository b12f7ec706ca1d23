// The crossover of the HNSW pre-filter: per query, the filtered graph walk
// against an exact scan of the allowed nodes' codes, for allowlists from 0.05 %
// to 50 % of a clustered graph. search_batch scans exactly below
// kHnswExactFactor x max(ef_search, k) allowed nodes (engine/batch.cpp).
//
// Usage: bench_filtered [n_vectors] [n_queries]. Times are thread CPU time.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "search/batch_scan.h"
#include "search/filter.h"

using kivo::engine::Kivo;
using kivo::vocab::EngineConfig;
using kivo::vocab::IndexType;
using kivo::vocab::Metric;

namespace {

double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<float> clustered(std::size_t n, std::size_t dim, std::mt19937& rng) {
    std::normal_distribution<float> g;
    std::vector<float> centres(64 * dim);
    for (float& x : centres) x = g(rng);
    std::uniform_int_distribution<int> pick(0, 63);
    std::vector<float> out(n * dim);
    for (std::size_t i = 0; i < n; ++i) {
        const int c = pick(rng);
        for (std::size_t d = 0; d < dim; ++d) out[i * dim + d] = centres[c * dim + d] + 0.6f * g(rng);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000;
    const std::size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100;
    const std::size_t dim = 384;
    const uint64_t k = 10;
    std::mt19937 rng(5);
    const std::vector<float> data = clustered(n, dim, rng);
    const std::vector<float> queries = clustered(nq, dim, rng);
    EngineConfig c;
    c.dim = dim;
    c.n4_dims = 512;
    c.bit_width = 4;
    c.metric = Metric::Cosine;
    c.index_type = IndexType::Hnsw;
    c.hnsw_m = 32;
    c.hnsw_ef_construction = 100;
    c.hnsw_ef_search = 64;
    auto made = Kivo::create(c);
    if (!made) return 1;
    Kivo index = std::move(*made);
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = i;
    const double b0 = cpu_now();
    if (!index.add_flat(ids, data)) return 1;
    std::printf("built %zu x %zu HNSW (m 32, ef_construction 100) in %.1f s cpu; ef_search 64, k 10\n", n, dim,
                cpu_now() - b0);
    const auto& graph = *index.hnsw();
    const auto& pipeline = index.pipeline();

    std::vector<std::vector<float>> tq;
    for (std::size_t q = 0; q < nq; ++q) {
        tq.push_back(pipeline.transform_query(std::span<const float>(queries).subspan(q * dim, dim)));
    }
    std::printf("%10s %8s %14s %14s %12s\n", "allowed", "share", "walk us/query", "exact us/query", "walk/exact");
    for (double share : {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5}) {
        std::vector<uint64_t> allowed = ids;
        std::shuffle(allowed.begin(), allowed.end(), rng);
        allowed.resize(std::max<std::size_t>(1, static_cast<std::size_t>(share * n)));
        const auto filter = kivo::search::Allowlist::create(allowed);
        const kivo::search::Gathered nodes = graph.allowed_nodes(filter);

        double t0 = cpu_now();
        std::size_t sink = 0;
        for (const auto& q : tq) sink += graph.search_filtered(pipeline, q, k, filter, Metric::Cosine).size();
        const double walk = (cpu_now() - t0) / nq * 1e6;

        // One query at a time, as the walk runs (a group would share the code
        // expansion and favour the scan further).
        t0 = cpu_now();
        std::vector<float> scratch;
        for (const auto& q : tq) {
            kivo::search::TopK heap(k, nodes.size());
            const float* ptr = q.data();
            const kivo::search::QueryGroup group{&ptr, 1, &heap};
            kivo::search::scan_gathered(pipeline, Metric::Cosine, group, nodes, scratch, {});
            sink += std::move(heap).into_sorted().size();
        }
        const double exact = (cpu_now() - t0) / nq * 1e6;
        std::printf("%10zu %7.2f%% %14.1f %14.1f %12.2f\n", allowed.size(), share * 100, walk, exact, walk / exact);
        if (sink == 0) std::printf("(no results)\n");
    }
    return 0;
}
