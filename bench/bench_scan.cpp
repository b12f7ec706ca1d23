// Query throughput of the brute-force and IVF-Flat scans with the pruning
// first pass on and off, on clustered synthetic data and on adversarial data
// where nothing can be skipped, with the fraction of codes scored exactly.
//
// Times are thread CPU time per query (the machine may be shared). Both forms
// run side by side on the same queries, alternating, best of `reps` passes.
//
// Brute force and IVF-Flat are also timed through search_batch on one thread
// (process CPU time per query), with the first pass and without.
//
// Usage: bench_scan [n=100000] [dim=384] [queries=200] [reps=3] [indexes=all|bf]
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "search/scan.h"

namespace {

using namespace kivo;
using engine::EngineConfig;
using engine::IndexType;
using engine::Kivo;
using engine::Metric;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Dataset {
    std::vector<float> base;
    std::vector<std::vector<float>> queries;
};

// Gaussian mixture: 1000 centres, members at noise 0.6 of a unit centre
// spread, queries drawn like members. `flat` makes every vector the same
// (every score ties with the k-th: no code can be skipped).
Dataset make_data(std::size_t n, std::size_t dim, std::size_t nq, bool flat) {
    std::mt19937 rng(1234);
    std::normal_distribution<float> g;
    std::vector<float> centres(1000 * dim);
    for (auto& x : centres) x = g(rng);
    Dataset d;
    d.base.resize(n * dim);
    auto member = [&](float* out) {
        const std::size_t c = rng() % 1000;
        for (std::size_t j = 0; j < dim; ++j) out[j] = flat ? 1.0f : centres[c * dim + j] + 0.6f * g(rng);
    };
    for (std::size_t i = 0; i < n; ++i) member(d.base.data() + i * dim);
    d.queries.assign(nq, std::vector<float>(dim));
    for (auto& q : d.queries) {
        member(q.data());
        if (flat) for (auto& x : q) x = g(rng);
    }
    return d;
}

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Measure {
    double pruned_us = 0, exact_us = 0;
    double exact_fraction = 0;
    double batch_pruned_us = 0, batch_exact_us = 0;
};

// search_batch on one thread, with the first pass and without; which goes
// first alternates between passes, so that neither always runs on a cache
// the other warmed (or cooled).
void time_batch(const Kivo& kivo, const Dataset& d, uint64_t k, int reps, Measure& m) {
    std::vector<float> flat;
    for (const auto& q : d.queries) flat.insert(flat.end(), q.begin(), q.end());
    double batch_best[2] = {1e300, 1e300};
    for (int r = 0; r < reps; ++r) {
        for (int step = 0; step < 2; ++step) {
            const int prune = (r + step) % 2 == 0 ? 1 : 0;
            const double t0 = process_cpu_seconds();
            (void)kivo.search_batch(flat, d.queries.size(), k, std::nullopt, 1, {}, prune == 1);
            batch_best[prune] = std::min(batch_best[prune], process_cpu_seconds() - t0);
        }
    }
    m.batch_pruned_us = 1e6 * batch_best[1] / d.queries.size();
    m.batch_exact_us = 1e6 * batch_best[0] / d.queries.size();
}

Measure run_brute(const Kivo& kivo, const Dataset& d, uint64_t k, int reps) {
    const auto& p = kivo.pipeline();
    const std::size_t count = kivo.ids().size();
    const search::CodeRun run{kivo.codes().data(), kivo.ids(), kivo.norms(), count};
    std::vector<std::vector<float>> tq;
    for (const auto& q : d.queries) tq.push_back(p.transform_query(q));
    Measure m;
    double best[2] = {1e300, 1e300};
    uint64_t scanned = 0, exact = 0;
    for (int r = 0; r < reps; ++r) {
        for (int prune = 1; prune >= 0; --prune) {
            const double t0 = cpu_seconds();
            for (const auto& q : tq) {
                search::TopK heap(k, count);
                search::Scanner s(p, q, kivo.metric(), prune == 1);
                s.scan(run, nullptr, heap);
                if (prune == 1 && r == 0) {
                    scanned += s.stats().scanned;
                    exact += s.stats().exact;
                }
            }
            best[prune] = std::min(best[prune], cpu_seconds() - t0);
        }
    }
    m.pruned_us = 1e6 * best[1] / tq.size();
    m.exact_us = 1e6 * best[0] / tq.size();
    m.exact_fraction = scanned ? double(exact) / double(scanned) : 0;

    time_batch(kivo, d, k, reps, m);
    return m;
}

Measure run_ivf(const Kivo& kivo, const Dataset& d, uint64_t k, int reps) {
    const auto& p = kivo.pipeline();
    std::vector<std::vector<float>> tq;
    for (const auto& q : d.queries) tq.push_back(p.transform_query(q));
    Measure m;
    double best[2] = {1e300, 1e300};
    for (int r = 0; r < reps; ++r) {
        for (int prune = 1; prune >= 0; --prune) {
            const double t0 = cpu_seconds();
            for (const auto& q : tq) (void)kivo.ivf()->search(p, q, k, std::nullopt, prune == 1);
            best[prune] = std::min(best[prune], cpu_seconds() - t0);
        }
    }
    m.pruned_us = 1e6 * best[1] / tq.size();
    m.exact_us = 1e6 * best[0] / tq.size();
    time_batch(kivo, d, k, reps, m);
    return m;
}

Kivo make_index(const Dataset& d, std::size_t n, std::size_t dim, uint64_t n4, IndexType type) {
    EngineConfig c;
    c.dim = dim;
    c.n4_dims = n4;
    c.bit_width = n4 == 0 ? 2 : 4;
    c.metric = Metric::Cosine;
    c.index_type = type;
    c.ivf_nlist = 1024;
    c.ivf_nprobe = 8;
    auto k = Kivo::create(c);
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = i;
    (void)k->add_flat(ids, d.base);
    if (type == IndexType::IvfFlat) (void)k->build();
    return std::move(*k);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 384;
    const std::size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200;
    const int reps = argc > 4 ? std::atoi(argv[4]) : 3;
    const bool ivf_too = argc <= 5 || std::string(argv[5]) != "bf";
    std::size_t padded = 1;
    while (padded < dim) padded *= 2;

    struct ModeSpec {
        const char* name;
        uint64_t n4;
    } modes[] = {{"4-bit", padded}, {"2-bit", 0}, {"mixed", padded / 2}};

    std::printf("n=%zu dim=%zu (padded %zu) queries=%zu, cosine, CPU us per query, best of %d\n", n, dim, padded,
                nq, reps);
    std::printf("%-8s %-12s %5s %11s %11s %8s %9s %11s %11s\n", "data", "index", "k", "pruned_us", "exact_us",
                "speedup", "exact_frac", "batch_pr_us", "batch_ex_us");
    for (const bool flat : {false, true}) {
        const Dataset d = make_data(n, dim, nq, flat);
        const char* data_name = flat ? "flat" : "mixture";
        for (const ModeSpec& mode : modes) {
            const Kivo bf = make_index(d, n, dim, mode.n4, IndexType::BruteForce);
            for (const uint64_t k : {1, 10, 100}) {
                const Measure m = run_brute(bf, d, k, reps);
                std::printf("%-8s bf %-9s %5llu %11.1f %11.1f %7.2fx %9.4f %11.1f %11.1f\n", data_name, mode.name,
                            static_cast<unsigned long long>(k), m.pruned_us, m.exact_us, m.exact_us / m.pruned_us,
                            m.exact_fraction, m.batch_pruned_us, m.batch_exact_us);
                std::fflush(stdout);
            }
            if (!ivf_too) continue;
            Kivo ivf = make_index(d, n, dim, mode.n4, IndexType::IvfFlat);
            for (const uint64_t nprobe : {8, 32}) {
                ivf.set_nprobe(nprobe);
                const Measure m = run_ivf(ivf, d, 10, reps);
                std::printf("%-8s ivf%-2llu %-6s %5d %11.1f %11.1f %7.2fx %9s %11.1f %11.1f\n", data_name,
                            static_cast<unsigned long long>(nprobe), mode.name, 10, m.pruned_us, m.exact_us,
                            m.exact_us / m.pruned_us, "-", m.batch_pruned_us, m.batch_exact_us);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
