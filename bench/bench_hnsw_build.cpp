// HNSW insertion speed: random unit vectors through the real pipeline
// (encode, norm, transformed vector), timing only the graph insertions.
// Usage: bench_hnsw_build [count=100000] [dim=384] [m=32] [ef_construction=200]
//                         [selection=diverse|closest] [data=sphere|clusters]
// `sphere` draws uniform unit vectors (the hardest case for the diverse
// rule: almost every candidate is kept); `clusters` draws around 300
// Gaussian centres with noise 0.8, as the quickstart does.
// Also reports the graph's bytes per vector while inserting (construction
// vectors and link scores included) and after build() releases them, and the
// process's peak resident size.
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "config.h"
#include "quantize/pipeline.h"
#include "search/hnsw.h"
#include "simd/dispatch.h"

int main(int argc, char** argv) {
    using namespace kivo;
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const uint64_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 384;
    const uint64_t m = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 32;
    const uint64_t efc = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 200;
    const vocab::HnswSelection selection = argc > 5 && std::string(argv[5]) == "closest"
                                               ? vocab::HnswSelection::Closest
                                               : vocab::HnswSelection::Diverse;
    const bool clusters = argc > 6 && std::string(argv[6]) == "clusters";

    vocab::EngineConfig config;
    config.dim = dim;
    config.metric = vocab::Metric::Cosine;
    config.index_type = vocab::IndexType::Hnsw;
    config.bit_width = 4;
    config.n4_dims = *vocab::padded_dim_for(dim);
    config.hnsw_m = m;
    config.hnsw_ef_construction = efc;
    auto pipeline = quantize::QuantPipeline::create(config);
    if (!pipeline) {
        std::printf("pipeline: %s\n", pipeline.error().message().c_str());
        return 1;
    }

    std::mt19937 rng(42);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<std::vector<uint8_t>> codes(count);
    std::vector<float> norms(count);
    std::vector<std::vector<float>> transformed(count);
    std::vector<float> v(dim);
    constexpr std::size_t kCentres = 300;
    std::vector<float> centres(clusters ? kCentres * dim : 0);
    for (float& x : centres) x = normal(rng);
    for (std::size_t i = 0; i < count; ++i) {
        const float* centre = clusters ? centres.data() + (rng() % kCentres) * dim : nullptr;
        float sq = 0.0f;
        for (std::size_t d = 0; d < dim; ++d) {
            float& x = v[d];
            x = centre ? centre[d] + 0.8f * normal(rng) : normal(rng);
            sq += x * x;
        }
        const float n = std::sqrt(sq);
        for (float& x : v) x /= n;
        codes[i] = pipeline->encode(v);
        norms[i] = pipeline->compute_norm(codes[i]);
        transformed[i] = pipeline->transform_query(v);
    }

    search::Hnsw graph = search::Hnsw::create(m, efc, vocab::effective_ef_search(m, 0),
                                              pipeline->packed_bytes_per_vec(), selection);
    // CPU time as well as wall time: on a shared machine the wall clock
    // mostly measures the neighbours.
    auto cpu_seconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
    };
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    for (std::size_t i = 0; i < count; ++i) {
        graph.insert(codes[i], norms[i], transformed[i], i, config.metric);
        std::vector<uint8_t>().swap(codes[i]);
        std::vector<float>().swap(transformed[i]);
        if ((i + 1) % 10000 == 0) {
            const auto now = std::chrono::steady_clock::now();
            std::printf("%zu nodes: %.2f s wall (last 10000: %.2f s), %.2f s cpu\n", i + 1,
                        std::chrono::duration<double>(now - start).count(),
                        std::chrono::duration<double>(now - last).count(), cpu_seconds() - cpu_start);
            std::fflush(stdout);
            last = now;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu_start;
    std::printf("inserted %zu vectors (dim %llu, padded %llu, m %llu, ef_construction %llu, features 0x%x): "
                "%.2f s wall, %.2f s cpu, %.0f per cpu second\n",
                count, static_cast<unsigned long long>(dim),
                static_cast<unsigned long long>(pipeline->padded_dim()), static_cast<unsigned long long>(m),
                static_cast<unsigned long long>(efc), simd::features(), seconds, cpu, count / cpu);
    const double inserting = static_cast<double>(graph.memory_bytes()) / static_cast<double>(count);
    graph.release_vectors();
    const double built = static_cast<double>(graph.memory_bytes()) / static_cast<double>(count);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("data %s, selection %s: graph bytes per vector while inserting %.0f, after build() %.0f; "
                "peak resident %.0f MiB (input vectors included)\n",
                clusters ? "clusters" : "sphere", std::string(vocab::hnsw_selection_name(selection)).c_str(), inserting, built,
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
