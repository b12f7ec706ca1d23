// Writes the fuzz seed corpus: small valid files of every index type, metric
// and bit layout in the current version, and the same indexes rewritten in
// every older version the loaders read (1 to 5).
// Usage: kivo_make_corpus <output directory>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

using kivo::vocab::EngineConfig;
using kivo::vocab::IndexType;
using kivo::engine::Kivo;
using kivo::vocab::Metric;

struct Seed {
    std::string name;
    EngineConfig config;
    int n_vectors;
    bool fit;
    bool build;
    int pending;  // IVF: vectors added after build()
};

std::vector<float> vector_for(uint64_t i, uint64_t dim) {
    std::vector<float> v(dim);
    for (uint64_t d = 0; d < dim; ++d) {
        v[d] = static_cast<float>(((i * 37 + d * 11) % 17)) / 4.0f - 2.0f + static_cast<float>(i % 3) * 0.5f;
    }
    return v;
}

std::vector<uint8_t> read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The same index as an older writer laid it out: a shorter header, no
// standardization section before version 6, no norms in a version 1
// brute-force body.
std::vector<uint8_t> as_version(const std::vector<uint8_t>& v6, uint32_t version, const Kivo& index) {
    const std::size_t header = version <= 2 ? 32 : version == 3 ? 40 : 56;
    const std::size_t std_bytes = index.pipeline().std_params() ? 8 * index.dim() : 0;
    std::vector<uint8_t> out(v6.begin(), v6.begin() + static_cast<std::ptrdiff_t>(header));
    std::memcpy(out.data() + 4, &version, 4);
    if (version >= 4) out[54] = 0;
    std::vector<uint8_t> body(v6.begin() + static_cast<std::ptrdiff_t>(56 + std_bytes), v6.end());
    if (version == 1 && index.index_type() == IndexType::BruteForce) {
        body.resize(body.size() - 4 * index.ids().size());
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    auto config = [](uint64_t dim, uint64_t n4, uint8_t bw, Metric metric, IndexType type) {
        EngineConfig c;
        c.dim = dim;
        c.n4_dims = n4;
        c.bit_width = bw;
        c.metric = metric;
        c.index_type = type;
        if (type == IndexType::IvfFlat) {
            c.ivf_nlist = 3;
            c.ivf_nprobe = 2;
        }
        if (type == IndexType::Hnsw) {
            c.hnsw_m = 4;
            c.hnsw_ef_construction = 16;
            c.hnsw_ef_search = 0;
        }
        return c;
    };
    const std::vector<Seed> seeds = {
        {"brute-cosine-4bit", config(3, 4, 4, Metric::Cosine, IndexType::BruteForce), 1, false, false, 0},
        {"brute-l2-2bit-fit", config(6, 0, 2, Metric::L2, IndexType::BruteForce), 4, true, false, 0},
        {"brute-dot-mixed", config(16, 8, 4, Metric::Dot, IndexType::BruteForce), 5, false, false, 0},
        {"brute-empty", config(8, 8, 4, Metric::Cosine, IndexType::BruteForce), 0, false, false, 0},
        {"ivf-cosine-4bit", config(8, 8, 4, Metric::Cosine, IndexType::IvfFlat), 10, false, true, 2},
        {"ivf-l2-2bit", config(5, 0, 2, Metric::L2, IndexType::IvfFlat), 6, false, true, 0},
        {"ivf-dot-mixed", config(9, 8, 4, Metric::Dot, IndexType::IvfFlat), 7, false, true, 0},
        {"hnsw-cosine-4bit", config(8, 8, 4, Metric::Cosine, IndexType::Hnsw), 12, false, false, 0},
        {"hnsw-dot-2bit", config(4, 0, 2, Metric::Dot, IndexType::Hnsw), 6, false, false, 0},
        {"hnsw-l2-fit", config(5, 8, 4, Metric::L2, IndexType::Hnsw), 5, true, false, 0},
        {"hnsw-empty", config(4, 4, 4, Metric::Cosine, IndexType::Hnsw), 0, false, false, 0},
    };
    int written = 0;
    for (const auto& seed : seeds) {
        auto index = Kivo::create(seed.config);
        if (!index) {
            std::fprintf(stderr, "%s: %s\n", seed.name.c_str(), index.error().message().c_str());
            return 1;
        }
        std::vector<uint64_t> ids;
        std::vector<std::vector<float>> vectors;
        for (int i = 0; i < seed.n_vectors; ++i) {
            ids.push_back(1000 + static_cast<uint64_t>(i) * 7);
            vectors.push_back(vector_for(static_cast<uint64_t>(i), seed.config.dim));
        }
        if (seed.fit) {
            if (auto ok = index->fit(vectors); !ok) return 1;
        }
        if (auto ok = index->add(ids, vectors); !ok) return 1;
        if (seed.build) {
            if (auto ok = index->build(); !ok) return 1;
        }
        for (int p = 0; p < seed.pending; ++p) {
            const uint64_t id = 5000 + static_cast<uint64_t>(p);
            std::vector<std::vector<float>> v = {vector_for(id, seed.config.dim)};
            if (auto ok = index->add(std::span(&id, 1), v); !ok) return 1;
        }
        const std::string v6_path = dir + "/" + seed.name + "-v6.kivo";
        if (auto ok = index->save(v6_path); !ok) {
            std::fprintf(stderr, "%s: %s\n", seed.name.c_str(), ok.error().message().c_str());
            return 1;
        }
        ++written;
        const auto v6 = read_all(v6_path);
        const uint64_t padded = index->padded_dim();
        const bool pure = index->n4_dims() == (index->bit_width() == 4 ? padded : 0);
        for (uint32_t version = 1; version <= 5; ++version) {
            // Versions 1 and 2 derive n4_dims from the bit width: pure modes only.
            if (version <= 2 && !pure) continue;
            write_all(dir + "/" + seed.name + "-v" + std::to_string(version) + ".kivo",
                      as_version(v6, version, *index));
            ++written;
        }
    }
    std::printf("%d files written to %s\n", written, dir.c_str());
    return 0;
}
