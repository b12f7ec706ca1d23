// Save and load times and file sizes of each index type.
// Usage: bench_persist [n_vectors=100000] [dim=384] [directory=/tmp] [types=bih]
// (types: b brute force, i IVF-Flat, h HNSW)
// The file is read back from the page cache (it was just written), so load
// times measure the loader, not the disk. For brute force the load through
// the map is compared with one memcpy of the code block it must copy.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

using kivo::vocab::EngineConfig;
using kivo::vocab::IndexType;
using kivo::engine::Kivo;
using kivo::vocab::Metric;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of `runs` timings of fn (which returns false on failure).
template <class F>
double best_of(int runs, F&& fn) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        if (!fn()) {
            std::fprintf(stderr, "operation failed\n");
            std::exit(1);
        }
        best = std::min(best, seconds_since(start));
    }
    return best;
}

std::vector<float> make_data(uint64_t n, uint64_t dim) {
    std::vector<float> data(n * dim);
    uint64_t x = 0x243F6A8885A308D3ULL;
    for (auto& v : data) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        // Sum of two uniforms: a cheap bell-shaped value in (-1, 1).
        const float a = static_cast<float>(x & 0xFFFFFF) / 16777216.0f;
        const float b = static_cast<float>((x >> 24) & 0xFFFFFF) / 16777216.0f;
        v = a + b - 1.0f;
    }
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const uint64_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 384;
    const std::string dir = argc > 3 ? argv[3] : "/tmp";
    const std::string types = argc > 4 ? argv[4] : "bih";
    const auto data = make_data(n, dim);
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = i * 7 + 3;

    std::printf("n=%llu dim=%llu, cosine, 4-bit; best of 5 runs (build once)\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(dim));
    std::printf("%-11s %10s %12s %9s %9s %9s %10s\n", "index", "build s", "file bytes", "save ms", "load ms",
                "mmap ms", "memcpy ms");
    for (IndexType type : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        if (types.find("bih"[static_cast<int>(type)]) == std::string::npos) continue;
        EngineConfig config;
        config.dim = dim;
        config.n4_dims = *kivo::vocab::padded_dim_for(dim);
        config.bit_width = 4;
        config.metric = Metric::Cosine;
        config.index_type = type;
        if (type == IndexType::IvfFlat) {
            config.ivf_nlist = 256;
            config.ivf_nprobe = 8;
        }
        if (type == IndexType::Hnsw) {
            config.hnsw_m = 16;
            config.hnsw_ef_construction = 64;
        }
        auto index = Kivo::create(config);
        if (!index) return 1;
        const auto build_start = Clock::now();
        if (!index->add_flat(ids, data)) return 1;
        if (type != IndexType::BruteForce && !index->build()) return 1;
        const double build_s = seconds_since(build_start);

        const std::string path = dir + "/kivo-bench-" + std::to_string(::getpid()) + ".kivo";
        const double save_s = best_of(5, [&] { return index->save(path).has_value(); });
        const auto size = std::filesystem::file_size(path);
        uint64_t loaded_len = 0;
        const double load_s = best_of(5, [&] {
            auto loaded = Kivo::load(path);
            loaded_len = loaded ? loaded->len() : 0;
            return loaded.has_value();
        });
        double mmap_s = 0;
        double copy_s = 0;
        if (type == IndexType::BruteForce) {
            mmap_s = best_of(5, [&] { return Kivo::load_mmap(path).has_value(); });
            // One copy of the code block into fresh memory: the floor of a load.
            const auto codes = index->codes();
            copy_s = best_of(5, [&] {
                std::vector<uint8_t> copy(codes.size());
                std::memcpy(copy.data(), codes.data(), codes.size());
                return copy[codes.size() / 2] == codes[codes.size() / 2];
            });
        }
        std::filesystem::remove(path);
        if (loaded_len != index->len()) return 1;
        std::printf("%-11s %10.2f %12llu %9.1f %9.1f %9s %10s\n", std::string(kivo::vocab::index_type_name(type)).c_str(),
                    build_s, static_cast<unsigned long long>(size), save_s * 1e3, load_s * 1e3,
                    type == IndexType::BruteForce ? std::to_string(mmap_s * 1e3).substr(0, 6).c_str() : "-",
                    type == IndexType::BruteForce ? std::to_string(copy_s * 1e3).substr(0, 6).c_str() : "-");
    }
    return 0;
}
