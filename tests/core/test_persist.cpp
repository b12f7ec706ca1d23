// Tests of Kivo::save, Kivo::load and Kivo::load_mmap: exact bytes, older
// versions, refusals, round trips of every index type and metric, damaged and
// truncated files, and the replay of the fuzz corpus and reproducers.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>

#include "../../fuzz/load_check.h"
#include "engine/engine.h"
#include "io/format.h"
#include "persist_test_util.h"

namespace kivo::engine {
namespace {

using kivo::testing::header_bytes;
using kivo::testing::HeaderFields;
using kivo::testing::put_f32;
using kivo::testing::put_u16;
using kivo::testing::put_u32;
using kivo::testing::put_u64;
using kivo::testing::put_u8;
using kivo::testing::read_file;
using kivo::testing::ScratchDir;
using kivo::testing::write_file;

constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::L2};
constexpr IndexType kTypes[] = {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw};

// The configuration the module's constructor gives (defaults of the chosen
// index type, zeros for the others).
EngineConfig make_config(uint64_t dim, Metric metric, IndexType type, uint8_t bit_width = 4,
                         std::optional<uint64_t> n4 = std::nullopt) {
    EngineConfig c;
    c.dim = dim;
    c.bit_width = bit_width;
    const uint64_t padded = vocab::padded_dim_for(dim).value();
    c.n4_dims = n4 ? *n4 : (bit_width == 4 ? padded : 0);
    c.metric = metric;
    c.index_type = type;
    if (type == IndexType::IvfFlat) {
        c.ivf_nlist = 8;
        c.ivf_nprobe = 3;
    } else if (type == IndexType::Hnsw) {
        c.hnsw_m = 8;
        c.hnsw_ef_construction = 40;
        c.hnsw_ef_search = 0;
    }
    return c;
}

std::vector<float> vec_for(uint64_t i, uint64_t dim) {
    std::vector<float> v(dim);
    uint64_t x = i * 0x9E3779B97F4A7C15ULL + 12345;
    for (auto& value : v) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ULL;
        x ^= x >> 32;
        value = static_cast<float>(static_cast<int64_t>(x % 2001) - 1000) / 250.0f;
    }
    return v;
}

void add_vectors(Kivo& index, uint64_t first, uint64_t count) {
    std::vector<uint64_t> ids;
    std::vector<std::vector<float>> vectors;
    for (uint64_t i = first; i < first + count; ++i) {
        ids.push_back(i * 3 + 1);
        vectors.push_back(vec_for(i, index.dim()));
    }
    ASSERT_TRUE(index.add(ids, vectors).has_value());
}

Kivo make_index(const EngineConfig& config, uint64_t count) {
    auto index = Kivo::create(config);
    EXPECT_TRUE(index.has_value());
    add_vectors(*index, 0, count);
    if (config.index_type != IndexType::BruteForce && count > 0) {
        EXPECT_TRUE(index->build().has_value());
    }
    return std::move(*index);
}

void expect_same_results(const Kivo& a, const Kivo& b, uint64_t k, const std::string& what) {
    for (uint64_t q = 0; q < 8; ++q) {
        const auto query = vec_for(1000 + q, a.dim());
        auto ra = a.search(query, k, std::nullopt);
        auto rb = b.search(query, k, std::nullopt);
        ASSERT_TRUE(ra.has_value()) << what;
        ASSERT_TRUE(rb.has_value()) << what;
        ASSERT_EQ(ra->size(), rb->size()) << what;
        for (std::size_t i = 0; i < ra->size(); ++i) {
            EXPECT_EQ((*ra)[i].id, (*rb)[i].id) << what << " query " << q << " rank " << i;
            EXPECT_EQ(std::bit_cast<uint32_t>((*ra)[i].score), std::bit_cast<uint32_t>((*rb)[i].score))
                << what << " query " << q << " rank " << i;
        }
    }
}

std::string error_of(const Result<Kivo>& r) { return r ? std::string("loaded") : r.error().message(); }

// Both loaders on one path: their results must agree; returns load's.
Result<Kivo> load_both(const std::string& path) {
    auto buffered = Kivo::load(path);
    auto mapped = Kivo::load_mmap(path);
    EXPECT_EQ(error_of(buffered), error_of(mapped)) << path;
    if (buffered && mapped) {
        auto diff = fuzzcheck::compare_engines(*buffered, *mapped);
        EXPECT_FALSE(diff.has_value()) << *diff;
    }
    return buffered;
}

// ---- exact bytes -------------------------------------------------------------------

TEST(PersistBytes, WorkedExampleIsSeventyBytes) {
    ScratchDir dir;
    auto index = Kivo::create(make_config(3, Metric::Cosine, IndexType::BruteForce));
    ASSERT_TRUE(index.has_value());
    const std::vector<std::vector<float>> vectors = {{0.5f, -1.0f, 2.0f}};
    const uint64_t id = 9;
    ASSERT_TRUE(index->add(std::span(&id, 1), vectors).has_value());
    ASSERT_TRUE(index->save(dir.file("w.kivo")).has_value());
    const auto bytes = read_file(dir.file("w.kivo"));
    ASSERT_EQ(bytes.size(), 70u);

    std::vector<uint8_t> expected = {'K', 'I', 'V', 'O', 6, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0};
    put_u64(expected, 1);                      // n_vectors
    put_u64(expected, 0xDEADBEEFCAFE1337ULL);  // seed: 37 13 FE CA EF BE AD DE
    put_u32(expected, 4);                      // n4_dims = padded_dim
    put_u32(expected, 0);
    expected.insert(expected.end(), 14, 0);  // IVF and HNSW parameters of a brute-force index
    expected.insert(expected.end(), {0, 0});  // no standardization, reserved
    // The code of the vector as the pipeline encodes it, and the norm of that
    // code (bits as computed).
    const auto code = index->pipeline().encode(vectors[0]);
    ASSERT_EQ(code.size(), 2u);
    expected.insert(expected.end(), code.begin(), code.end());
    put_u64(expected, 9);
    const float norm = index->pipeline().compute_norm(code);
    put_f32(expected, norm);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24, bytes.begin() + 32),
              (std::vector<uint8_t>{0x37, 0x13, 0xFE, 0xCA, 0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_GT(norm, 0.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(index->norms()[0]), std::bit_cast<uint32_t>(norm));
}

TEST(PersistBytes, EmptyIndexes) {
    ScratchDir dir;
    auto brute = Kivo::create(make_config(8, Metric::L2, IndexType::BruteForce, 2));
    ASSERT_TRUE(brute.has_value());
    ASSERT_TRUE(brute->save(dir.file("b.kivo")).has_value());
    const auto b = read_file(dir.file("b.kivo"));
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 16, b.begin() + 24), std::vector<uint8_t>(8, 0));  // n_vectors 0
    auto loaded = load_both(dir.file("b.kivo"));
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->len(), 0u);
    EXPECT_EQ(loaded->config(), brute->config());

    auto hnsw = Kivo::create(make_config(8, Metric::Cosine, IndexType::Hnsw));
    ASSERT_TRUE(hnsw.has_value());
    ASSERT_TRUE(hnsw->save(dir.file("h.kivo")).has_value());
    const auto h = read_file(dir.file("h.kivo"));
    ASSERT_EQ(h.size(), 56u + 12u);
    EXPECT_EQ(std::vector<uint8_t>(h.begin() + 56, h.end()),
              (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    auto back = load_both(dir.file("h.kivo"));
    ASSERT_TRUE(back.has_value());
    ASSERT_TRUE(back->hnsw().has_value());
    EXPECT_FALSE(back->hnsw()->entry_point.has_value());
    EXPECT_EQ(back->hnsw()->ef_search, 16u);  // 2 x M
}

TEST(PersistBytes, IvfFileSizeFollowsTheFormula) {
    ScratchDir dir;
    for (uint8_t bw : {uint8_t{2}, uint8_t{4}}) {
        const Kivo index = make_index(make_config(20, Metric::Dot, IndexType::IvfFlat, bw), 50);
        ASSERT_TRUE(index.ivf().has_value());
        const uint64_t lists = index.ivf()->lists.size();
        const uint64_t c = index.padded_dim();
        const uint64_t p = index.packed_bytes_per_vec();
        ASSERT_TRUE(index.save(dir.file("i.kivo")).has_value());
        EXPECT_EQ(read_file(dir.file("i.kivo")).size(), 56 + 8 + lists * (4 * c + 4) + 50 * (12 + p));
    }
}

TEST(PersistBytes, StandardizationSectionAndBitExactRoundTrip) {
    ScratchDir dir;
    auto index = Kivo::create(make_config(5, Metric::L2, IndexType::BruteForce));
    ASSERT_TRUE(index.has_value());
    std::vector<std::vector<float>> sample;
    for (uint64_t i = 0; i < 9; ++i) sample.push_back(vec_for(i, 5));
    ASSERT_TRUE(index->fit(sample).has_value());
    ASSERT_TRUE(index->pipeline().std_params().has_value());
    add_vectors(*index, 0, 3);
    ASSERT_TRUE(index->save(dir.file("f.kivo")).has_value());
    const auto bytes = read_file(dir.file("f.kivo"));
    EXPECT_EQ(bytes[54], 1);
    const uint64_t p = index->packed_bytes_per_vec();
    ASSERT_EQ(bytes.size(), 56 + 8 * 5 + 3 * (p + 12));
    const auto& params = *index->pipeline().std_params();
    for (std::size_t i = 0; i < 5; ++i) {
        uint32_t mean_bits;
        uint32_t inv_bits;
        std::memcpy(&mean_bits, bytes.data() + 56 + 4 * i, 4);
        std::memcpy(&inv_bits, bytes.data() + 56 + 20 + 4 * i, 4);
        EXPECT_EQ(mean_bits, std::bit_cast<uint32_t>(params.mean[i]));
        EXPECT_EQ(inv_bits, std::bit_cast<uint32_t>(params.inv_std[i]));
    }
    auto loaded = load_both(dir.file("f.kivo"));
    ASSERT_TRUE(loaded.has_value());
    ASSERT_TRUE(loaded->pipeline().std_params().has_value());
    EXPECT_TRUE(fuzzcheck::same_floats(loaded->pipeline().std_params()->mean, params.mean));
    EXPECT_TRUE(fuzzcheck::same_floats(loaded->pipeline().std_params()->inv_std, params.inv_std));
    expect_same_results(*index, *loaded, 3, "fit l2");
}

// ---- round trips ---------------------------------------------------------------------

TEST(PersistRoundTrip, EveryTypeAndMetricAnswersAsBefore) {
    ScratchDir dir;
    for (IndexType type : kTypes) {
        for (Metric metric : kMetrics) {
            const std::string what = std::string(index_type_name(type)) + "/" + std::string(metric_name(metric));
            const Kivo index = make_index(make_config(24, metric, type, 4, 16), 300);
            const std::string path = dir.file(what.substr(0, what.find('/')) + ".kivo");
            ASSERT_TRUE(index.save(path).has_value()) << what;
            auto loaded = load_both(path);
            ASSERT_TRUE(loaded.has_value()) << what << ": " << loaded.error().message();
            EXPECT_EQ(loaded->config(), index.config()) << what;
            EXPECT_EQ(loaded->len(), 300u) << what;
            // Full result lists: every stored vector, in order, with its score.
            expect_same_results(index, *loaded, 300, what);
            expect_same_results(index, *loaded, 7, what);
            // The reloaded index writes the same file again.
            ASSERT_TRUE(loaded->save(path + ".2").has_value());
            EXPECT_EQ(read_file(path), read_file(path + ".2")) << what;
        }
    }
}

TEST(PersistRoundTrip, LoadAndLoadMmapGiveIdenticalBruteForceEngines) {
    ScratchDir dir;
    const Kivo index = make_index(make_config(33, Metric::Dot, IndexType::BruteForce, 2), 123);
    ASSERT_TRUE(index.save(dir.file("b.kivo")).has_value());
    auto buffered = Kivo::load(dir.file("b.kivo"));
    auto mapped = Kivo::load_mmap(dir.file("b.kivo"));
    ASSERT_TRUE(buffered.has_value());
    ASSERT_TRUE(mapped.has_value());
    EXPECT_FALSE(fuzzcheck::compare_engines(*buffered, *mapped).has_value());
    EXPECT_FALSE(fuzzcheck::compare_engines(index, *mapped).has_value());
    // The engine owns its data: the file may go away.
    std::filesystem::remove(dir.file("b.kivo"));
    expect_same_results(index, *mapped, 123, "after the file was removed");
}

TEST(PersistRoundTrip, TunedSearchParametersComeBackAsConfigured) {
    ScratchDir dir;
    Kivo hnsw = make_index(make_config(16, Metric::Cosine, IndexType::Hnsw), 40);
    hnsw.set_ef_search(3);
    ASSERT_TRUE(hnsw.save(dir.file("h.kivo")).has_value());
    auto h = load_both(dir.file("h.kivo"));
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->hnsw()->ef_search, 16u);  // 2 x M of the constructor's hnsw_ef_search 0
    EXPECT_EQ(h->config().hnsw_ef_search, 0u);

    EngineConfig explicit_ef = make_config(16, Metric::Cosine, IndexType::Hnsw);
    explicit_ef.hnsw_ef_search = 25;
    Kivo hnsw2 = make_index(explicit_ef, 10);
    hnsw2.set_ef_search(0);
    ASSERT_TRUE(hnsw2.save(dir.file("h2.kivo")).has_value());
    auto h2 = load_both(dir.file("h2.kivo"));
    ASSERT_TRUE(h2.has_value());
    EXPECT_EQ(h2->hnsw()->ef_search, 25u);

    Kivo ivf = make_index(make_config(16, Metric::L2, IndexType::IvfFlat), 40);
    ivf.set_nprobe(7);
    ASSERT_TRUE(ivf.save(dir.file("i.kivo")).has_value());
    auto i = load_both(dir.file("i.kivo"));
    ASSERT_TRUE(i.has_value());
    EXPECT_EQ(i->ivf()->nprobe, 3u);
}

// ---- save: refusals and mended faults -------------------------------------------------

TEST(PersistSave, IvfNeverBuiltIsRefusedBeforeTheFileIsTouched) {
    ScratchDir dir;
    auto ivf = Kivo::create(make_config(8, Metric::Cosine, IndexType::IvfFlat));
    ASSERT_TRUE(ivf.has_value());
    for (uint64_t n : {0u, 5u}) {
        if (n) add_vectors(*ivf, 0, n);
        auto saved = ivf->save(dir.file("never.kivo"));
        ASSERT_FALSE(saved.has_value());
        EXPECT_EQ(saved.error().message(), "call build() before search() for IvfFlat indexes");
        EXPECT_FALSE(std::filesystem::exists(dir.file("never.kivo")));
    }
}

// Values the file's fields cannot hold are refused, with the field and value
// named, before the file is created; never written cut down.
TEST(PersistSave, ValuesThatDoNotFitTheirFieldAreRefused) {
    ScratchDir dir;
    struct Case {
        IndexType type;
        void (*change)(EngineConfig&);
        const char* message;
    };
    const Case cases[] = {
        {IndexType::Hnsw, [](EngineConfig& c) { c.hnsw_m = 70000; },
         "io error: hnsw_m 70000 does not fit the file's 16-bit field"},
        {IndexType::Hnsw, [](EngineConfig& c) { c.hnsw_ef_construction = 65536; },
         "io error: hnsw_ef_construction 65536 does not fit the file's 16-bit field"},
        {IndexType::Hnsw, [](EngineConfig& c) { c.hnsw_ef_search = 1u << 20; },
         "io error: hnsw_ef_search 1048576 does not fit the file's 16-bit field"},
        {IndexType::IvfFlat, [](EngineConfig& c) { c.ivf_nlist = uint64_t{1} << 32; },
         "io error: ivf_nlist 4294967296 does not fit the file's 32-bit field"},
        {IndexType::IvfFlat, [](EngineConfig& c) { c.ivf_nprobe = ~uint64_t{0}; },
         "io error: ivf_nprobe 18446744073709551615 does not fit the file's 32-bit field"},
    };
    for (const auto& c : cases) {
        EngineConfig config = make_config(8, Metric::Cosine, c.type);
        c.change(config);
        auto index = Kivo::create(config);
        ASSERT_TRUE(index.has_value());
        add_vectors(*index, 0, 4);
        if (c.type == IndexType::IvfFlat) {
            ASSERT_TRUE(index->build().has_value());
        }
        const std::string path = dir.file("big.kivo");
        auto saved = index->save(path);
        ASSERT_FALSE(saved.has_value()) << c.message;
        EXPECT_EQ(saved.error().kind(), ErrorKind::Io);
        EXPECT_EQ(saved.error().message(), c.message);
        EXPECT_FALSE(std::filesystem::exists(path)) << c.message;
    }
}

TEST(PersistSave, GraphLimitsOfTheFileAreChecked) {
    search::Hnsw graph = search::Hnsw::create(4, 10, 8, 2);
    search::HnswNode node;
    node.codes.assign(2, 0);
    node.neighbours.resize(1);
    graph.append_record(node);
    graph.append_record(node);
    graph.entry_point = 0;
    EXPECT_TRUE(graph.check_writable().has_value());

    std::vector<uint32_t> links(65535, 0);
    graph.set_links(1, 0, links);
    EXPECT_TRUE(graph.check_writable().has_value());
    links.push_back(0);
    graph.set_links(1, 0, links);
    auto long_list = graph.check_writable();
    ASSERT_FALSE(long_list.has_value());
    EXPECT_EQ(long_list.error().message(),
              "io error: HNSW node 1 has 65536 links on layer 0, more than the file's 16-bit field holds");
    graph.set_links(1, 0, {});

    // Levels are capped at 254, so a node never has more lists than the
    // file's byte holds.
    node.neighbours.resize(300);
    graph.append_record(node);
    EXPECT_EQ(graph.level(2), search::Hnsw::kMaxLevel);
    EXPECT_TRUE(graph.check_writable().has_value());

    graph.max_level = uint64_t{1} << 32;
    EXPECT_EQ(graph.check_writable().error().message(),
              "io error: HNSW max_level 4294967296 does not fit the file's 32-bit field");
}

// Vectors added after the last build() are written into the lists that the
// next build() puts them in, in the order added, without changing the engine.
TEST(PersistSave, IvfVectorsAddedAfterBuildAreNotLost) {
    ScratchDir dir;
    for (Metric metric : kMetrics) {
        Kivo index = make_index(make_config(12, metric, IndexType::IvfFlat), 60);
        add_vectors(index, 60, 17);
        ASSERT_TRUE(index.save(dir.file("pending.kivo")).has_value());
        EXPECT_EQ(index.len(), 60u);  // the engine in memory is unchanged
        EXPECT_EQ(index.ids().size(), 17u);
        auto loaded = load_both(dir.file("pending.kivo"));
        ASSERT_TRUE(loaded.has_value());
        EXPECT_EQ(loaded->len(), 77u);
        const auto bytes = read_file(dir.file("pending.kivo"));
        uint64_t n_vectors;
        std::memcpy(&n_vectors, bytes.data() + 16, 8);
        EXPECT_EQ(n_vectors, 77u);

        // Exactly what build() makes of them.
        ASSERT_TRUE(index.build().has_value());
        ASSERT_TRUE(index.save(dir.file("built.kivo")).has_value());
        EXPECT_EQ(bytes, read_file(dir.file("built.kivo"))) << metric_name(metric);
        expect_same_results(index, *loaded, 77, "pending vectors");
    }
}

// A version 1 file stores no norms; the load computes each from its code, so
// the loaded index answers exactly as the original, and as itself after a
// save (which writes those norms) and a reload. Every metric and layout.
TEST(PersistVersions, VersionOneNormsComeFromTheCodes) {
    ScratchDir dir;
    // Version 1 knows the pure layouts only.
    for (Metric metric : kMetrics) {
        for (uint8_t bit_width : {uint8_t{2}, uint8_t{4}}) {
            SCOPED_TRACE(::testing::Message() << "metric " << static_cast<int>(metric) << " bits " << int{bit_width});
            const Kivo original = make_index(make_config(10, metric, IndexType::BruteForce, bit_width), 20);
            ASSERT_TRUE(original.save(dir.file("v6.kivo")).has_value());
            const auto v6 = read_file(dir.file("v6.kivo"));
            // The same index as a version 1 writer laid it out: 32-byte
            // header, codes and ids, no norms.
            HeaderFields f;
            f.version = 1;
            f.dim = 10;
            f.metric = static_cast<uint8_t>(metric);
            f.bit_width = bit_width;
            f.n_vectors = 20;
            auto v1 = header_bytes(f);
            v1.insert(v1.end(), v6.begin() + 56, v6.end() - 20 * 4);
            write_file(dir.file("v1.kivo"), v1);
            auto old = load_both(dir.file("v1.kivo"));
            ASSERT_TRUE(old.has_value()) << old.error().message();
            EXPECT_TRUE(std::ranges::equal(old->codes(), original.codes()));
            ASSERT_EQ(old->norms().size(), 20u);
            EXPECT_TRUE(std::ranges::equal(old->norms(), original.norms()));
            expect_same_results(original, *old, 7, "version 1 load");

            ASSERT_TRUE(old->save(dir.file("resaved.kivo")).has_value());
            EXPECT_EQ(read_file(dir.file("resaved.kivo")), v6);
            auto back = load_both(dir.file("resaved.kivo"));
            ASSERT_TRUE(back.has_value());
            expect_same_results(*old, *back, 7, "version 1 after save and reload");
        }
    }
}

TEST(PersistSave, WriteFailuresAreReported) {
    ScratchDir dir;
    const Kivo index = make_index(make_config(8, Metric::Dot, IndexType::BruteForce), 3);
    auto missing = index.save(dir.file("no/such/dir.kivo"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "io error: No such file or directory (os error 2)");
    auto nul = index.save(dir.file(std::string("x\0y", 3)));
    ASSERT_FALSE(nul.has_value());
    EXPECT_EQ(nul.error().message(), "io error: file name contained an unexpected NUL byte");
    if (::access("/dev/full", W_OK) == 0) {
        // Everything fits in the buffer: only the final write can fail, and
        // that failure must be reported.
        auto full = index.save("/dev/full");
        ASSERT_FALSE(full.has_value());
        EXPECT_EQ(full.error().message(), "io error: No space left on device (os error 28)");
    }
    // A longer file at the path is truncated.
    write_file(dir.file("old.kivo"), std::vector<uint8_t>(5000, 0xAA));
    ASSERT_TRUE(index.save(dir.file("old.kivo")).has_value());
    EXPECT_EQ(read_file(dir.file("old.kivo")).size(), 56 + 3 * (index.packed_bytes_per_vec() + 12));
}

// ---- older versions -----------------------------------------------------------------

// A brute-force body of n vectors with P-byte codes.
std::vector<uint8_t> brute_body(uint64_t n, uint64_t p, bool norms) {
    std::vector<uint8_t> body;
    for (uint64_t i = 0; i < n * p; ++i) body.push_back(static_cast<uint8_t>(i * 29 + 3));
    for (uint64_t i = 0; i < n; ++i) put_u64(body, 100 + i);
    if (norms) {
        for (uint64_t i = 0; i < n; ++i) put_f32(body, 1.5f + static_cast<float>(i));
    }
    return body;
}

std::vector<uint8_t> with_body(std::vector<uint8_t> header, const std::vector<uint8_t>& body) {
    header.insert(header.end(), body.begin(), body.end());
    return header;
}

TEST(PersistVersions, OlderBruteForceFilesLoad) {
    ScratchDir dir;
    struct Case {
        uint32_t version;
        uint8_t bit_width;
        uint32_t n4;
        uint8_t std_flag;
        bool norms;
        uint64_t expect_n4;
    };
    // dim 6 -> padded 8; P = 4 (pure 4-bit), 2 (pure 2-bit), 3 (n4 4, mixed).
    const Case cases[] = {
        {1, 4, 0, 0, false, 8}, {1, 2, 0, 0, false, 0}, {2, 4, 0, 0, true, 8}, {2, 2, 0, 0, true, 0},
        {3, 4, 4, 0, true, 4},  {4, 4, 8, 0, true, 8},  {5, 2, 0, 1, true, 0}, {6, 4, 4, 0, true, 4},
    };
    for (const auto& c : cases) {
        HeaderFields f;
        f.version = c.version;
        f.dim = 6;
        f.bit_width = c.bit_width;
        f.n4_dims = c.n4;
        f.n_vectors = 3;
        f.std_flag = c.std_flag;  // set in the version 5 case: ignored there
        f.metric = 2;
        const uint64_t p = vocab::packed_bytes_per_vec_for(8, c.expect_n4);
        const auto bytes = with_body(header_bytes(f), brute_body(3, p, c.norms));
        std::string name = "v";
        name += std::to_string(c.version);
        name += ".kivo";
        const std::string path = dir.file(name);
        write_file(path, bytes);
        auto loaded = load_both(path);
        ASSERT_TRUE(loaded.has_value()) << "version " << c.version << ": " << loaded.error().message();
        EXPECT_EQ(loaded->n4_dims(), c.expect_n4) << "version " << c.version;
        EXPECT_EQ(loaded->packed_bytes_per_vec(), p);
        const auto body = brute_body(3, p, false);
        EXPECT_EQ(std::vector<uint8_t>(loaded->codes().begin(), loaded->codes().end()),
                  std::vector<uint8_t>(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(3 * p)));
        EXPECT_EQ(std::vector<uint64_t>(loaded->ids().begin(), loaded->ids().end()),
                  (std::vector<uint64_t>{100, 101, 102}));
        if (c.norms) {
            EXPECT_EQ(std::vector<float>(loaded->norms().begin(), loaded->norms().end()),
                      (std::vector<float>{1.5f, 2.5f, 3.5f}));
        } else {
            // Version 1: each norm is the norm of its code.
            ASSERT_EQ(loaded->norms().size(), 3u);
            for (std::size_t i = 0; i < 3; ++i) {
                EXPECT_EQ(loaded->norms()[i], loaded->pipeline().compute_norm(loaded->codes().subspan(i * p, p)));
            }
        }
        EXPECT_FALSE(loaded->pipeline().std_params().has_value());
        EXPECT_EQ(loaded->metric(), Metric::L2);
        auto result = loaded->search(std::vector<float>(6, 1.0f), 3, std::nullopt);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->size(), 3u);
    }
}

// Versions 1 to 3 do not store the IVF and HNSW parameters: a loaded index
// gets the constructor's defaults. Values stored from version 4 are used as
// stored, 0 included.
TEST(PersistVersions, AbsentIndexParametersTakeTheConstructorDefaults) {
    ScratchDir dir;
    const Kivo ivf = make_index(make_config(8, Metric::Dot, IndexType::IvfFlat), 30);
    const Kivo hnsw = make_index(make_config(8, Metric::Dot, IndexType::Hnsw), 30);
    ASSERT_TRUE(ivf.save(dir.file("ivf.kivo")).has_value());
    ASSERT_TRUE(hnsw.save(dir.file("hnsw.kivo")).has_value());
    for (uint32_t version : {1u, 2u, 3u}) {
        for (const std::string name : {"ivf", "hnsw"}) {
            auto v6 = read_file(dir.file(name + ".kivo"));
            std::vector<uint8_t> old(v6.begin(), v6.begin() + (version == 3 ? 40 : 32));
            std::memcpy(old.data() + 4, &version, 4);
            old.insert(old.end(), v6.begin() + 56, v6.end());
            const std::string path = dir.file(name + std::to_string(version) + ".kivo");
            write_file(path, old);
            auto loaded = load_both(path);
            ASSERT_TRUE(loaded.has_value()) << name << " v" << version << ": " << loaded.error().message();
            const EngineConfig& c = loaded->config();
            if (name == "ivf") {
                EXPECT_EQ(c.ivf_nlist, 256u);
                EXPECT_EQ(c.ivf_nprobe, 8u);
                EXPECT_EQ(loaded->ivf()->nprobe, 8u);
                EXPECT_EQ(c.hnsw_m, 0u);
                EXPECT_EQ(loaded->len(), 30u);
            } else {
                EXPECT_EQ(c.hnsw_m, 32u);
                EXPECT_EQ(c.hnsw_ef_construction, 200u);
                EXPECT_EQ(c.hnsw_ef_search, 0u);
                EXPECT_EQ(loaded->hnsw()->m, 32u);
                EXPECT_EQ(loaded->hnsw()->ef_search, 64u);
                EXPECT_EQ(c.ivf_nlist, 0u);
                EXPECT_EQ(loaded->len(), 30u);
            }
        }
    }
    // Version 4+ zeros are kept: an IVF index stored with nprobe 0 probes nothing.
    auto v6 = read_file(dir.file("ivf.kivo"));
    std::memset(v6.data() + 40, 0, 8);
    write_file(dir.file("zero.kivo"), v6);
    auto zero = load_both(dir.file("zero.kivo"));
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(zero->config().ivf_nlist, 0u);
    EXPECT_EQ(zero->ivf()->nprobe, 0u);
    EXPECT_TRUE(zero->search(vec_for(1, 8), 5, std::nullopt)->empty());
}

TEST(PersistVersions, VersionFourHnswIsRefusedButBruteForceAndIvfLoad) {
    ScratchDir dir;
    for (IndexType type : kTypes) {
        const Kivo index = make_index(make_config(8, Metric::Cosine, type), 12);
        ASSERT_TRUE(index.save(dir.file("x.kivo")).has_value());
        auto bytes = read_file(dir.file("x.kivo"));
        bytes[4] = 4;
        write_file(dir.file("v4.kivo"), bytes);
        auto loaded = load_both(dir.file("v4.kivo"));
        if (type == IndexType::Hnsw) {
            ASSERT_FALSE(loaded.has_value());
            EXPECT_EQ(loaded.error().kind(), ErrorKind::InvalidFormat);
            EXPECT_EQ(loaded.error().message(),
                      "invalid .kivo file: HNSW index version 4 is incompatible with v5 format (neighbor count "
                      "type changed u8\u2192u16). Rebuild the index with the current version.");
        } else {
            ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
            expect_same_results(index, *loaded, 12, "version 4");
        }
    }
}

// ---- refusals on load ----------------------------------------------------------------

TEST(PersistLoad, BadHeadersAreRefusedByBothPaths) {
    ScratchDir dir;
    struct Case {
        const char* name;
        void (*change)(HeaderFields&);
        const char* message;
    };
    const Case cases[] = {
        {"version 0", [](HeaderFields& f) { f.version = 0; }, "unsupported file version: 0"},
        {"version 7", [](HeaderFields& f) { f.version = 7; }, "unsupported file version: 7"},
        {"metric 3", [](HeaderFields& f) { f.metric = 3; }, "invalid metric byte: 3"},
        {"index type 5", [](HeaderFields& f) { f.index_type = 5; }, "unsupported index type byte: 5"},
        {"metric before type", [](HeaderFields& f) { f.metric = 9, f.index_type = 9; }, "invalid metric byte: 9"},
        {"n4 6 of padded 8", [](HeaderFields& f) { f.n4_dims = 6; }, "invalid bit width: 4 (must be 2 or 4)"},
        {"n4 above padded", [](HeaderFields& f) { f.n4_dims = 12, f.bit_width = 2; },
         "invalid bit width: 2 (must be 2 or 4)"},
        {"n4 checked with any bit width", [](HeaderFields& f) { f.n4_dims = 7, f.bit_width = 3; },
         "invalid bit width: 3 (must be 2 or 4)"},
    };
    for (const auto& c : cases) {
        HeaderFields f;
        f.dim = 8;
        c.change(f);
        write_file(dir.file("bad.kivo"), header_bytes(f));
        auto loaded = load_both(dir.file("bad.kivo"));
        ASSERT_FALSE(loaded.has_value()) << c.name;
        EXPECT_EQ(loaded.error().message(), c.message) << c.name;
    }
    auto bytes = header_bytes(HeaderFields{});
    bytes[0] = 'k';
    write_file(dir.file("magic.kivo"), bytes);
    EXPECT_EQ(error_of(load_both(dir.file("magic.kivo"))), "invalid .kivo file: bad magic bytes");

    EXPECT_EQ(error_of(load_both(dir.file("missing.kivo"))), "io error: No such file or directory (os error 2)");
    EXPECT_EQ(error_of(load_both(dir.file(std::string("bad.kivo\0", 9)))),
              "io error: file name contained an unexpected NUL byte");
    write_file(dir.file("empty.kivo"), {});
    EXPECT_EQ(error_of(load_both(dir.file("empty.kivo"))), "io error: failed to fill whole buffer");
}

// The mapped path used to accept a version 2+ brute-force file cut off inside
// its norms (loading it without norms); both paths now refuse every brute-force
// file that ends before its sections do. Only version 1 files have no norms.
TEST(PersistLoad, BruteForceFilesCutShortAreRefusedByBothPaths) {
    ScratchDir dir;
    auto index = Kivo::create(make_config(8, Metric::L2, IndexType::BruteForce));
    ASSERT_TRUE(index.has_value());
    std::vector<std::vector<float>> sample = {vec_for(1, 8), vec_for(2, 8), vec_for(3, 8)};
    ASSERT_TRUE(index->fit(sample).has_value());
    add_vectors(*index, 0, 10);
    ASSERT_TRUE(index->save(dir.file("full.kivo")).has_value());
    const auto bytes = read_file(dir.file("full.kivo"));
    const uint64_t p = index->packed_bytes_per_vec();
    ASSERT_EQ(bytes.size(), 56 + 64 + 10 * (p + 12));
    // Cuts inside the std section, the codes, the ids and the norms.
    for (std::size_t cut : {std::size_t{56 + 10}, std::size_t{56 + 64 + 7}, std::size_t{56 + 64 + 10 * p + 9},
                            bytes.size() - 1, bytes.size() - 40}) {
        write_file(dir.file("cut.kivo"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_EQ(error_of(Kivo::load(dir.file("cut.kivo"))), "io error: failed to fill whole buffer") << cut;
        EXPECT_EQ(error_of(Kivo::load_mmap(dir.file("cut.kivo"))), "io error: failed to fill whole buffer") << cut;
    }
    // Bytes after the last section are ignored.
    auto longer = bytes;
    longer.insert(longer.end(), 100, 0x5A);
    write_file(dir.file("long.kivo"), longer);
    auto loaded = load_both(dir.file("long.kivo"));
    ASSERT_TRUE(loaded.has_value());
    expect_same_results(*index, *loaded, 10, "trailing bytes");
}

// No count in a damaged header or section may make the loader allocate
// more than the file's own bytes can back.
TEST(PersistLoad, CountsBeyondTheFileAreRefusedBeforeAllocation) {
    ScratchDir dir;
    struct Case {
        const char* name;
        HeaderFields header;
        std::vector<uint8_t> body;
    };
    auto header = [](uint8_t type, uint32_t dim, uint64_t n, uint8_t flag = 0) {
        HeaderFields f;
        f.index_type = type;
        f.dim = dim;
        f.n4_dims = static_cast<uint32_t>(vocab::padded_dim_for(dim).value());
        f.n_vectors = n;
        f.std_flag = flag;
        return f;
    };
    auto u32s = [](std::initializer_list<uint32_t> values) {
        std::vector<uint8_t> out;
        for (uint32_t v : values) put_u32(out, v);
        return out;
    };
    const Case cases[] = {
        {"brute n 2^40", header(0, 8, uint64_t{1} << 40), std::vector<uint8_t>(64, 0)},
        {"brute n 2^64-1", header(0, 8, ~uint64_t{0}), std::vector<uint8_t>(64, 0)},
        // A huge dimension with vectors: refused before its rotation is built.
        {"brute dim 2^31 n 1", header(0, 0x80000000u, 1), std::vector<uint8_t>(64, 0)},
        {"std section of dim 2^31", header(0, 0x80000000u, 0, 1), std::vector<uint8_t>(64, 0)},
        // A whole first record follows each lying count, so only the guard on
        // all records together (not on the next one alone) refuses it.
        {"ivf lists 2^32-1", header(1, 8, 0), u32s({0xFFFFFFFFu, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"ivf centroid 2^32-1", header(1, 8, 0), u32s({1, 0xFFFFFFFFu})},
        {"ivf members 2^32-1", header(1, 1, 0), u32s({1, 1, 0, 0xFFFFFFFFu})},
        {"hnsw nodes 2^32-1", header(2, 8, 0),
         [] {
             std::vector<uint8_t> b;
             put_u32(b, 0xFFFFFFFFu), put_u32(b, 0), put_u32(b, 0);
             put_u64(b, 5), put_u32(b, 0), put_f32(b, 1.0f), put_u8(b, 1), put_u16(b, 0);
             return b;
         }()},
        {"hnsw links 65535", header(2, 1, 0),
         [] {
             std::vector<uint8_t> b;
             put_u32(b, 1), put_u32(b, 0), put_u32(b, 0), put_u64(b, 5), put_u8(b, 0), put_f32(b, 1.0f);
             put_u8(b, 1), put_u16(b, 0xFFFF);
             return b;
         }()},
    };
    for (const auto& c : cases) {
        write_file(dir.file("c.kivo"), with_body(header_bytes(c.header), c.body));
        EXPECT_EQ(error_of(load_both(dir.file("c.kivo"))), "io error: failed to fill whole buffer") << c.name;
    }
}

// ---- damaged graphs and lists -----------------------------------------------------

struct GraphNode {
    uint8_t lists;  // level + 1 (may be 0 in a damaged file)
    std::vector<std::vector<uint32_t>> links;
};

// An HNSW file of dim 4 (pure 4-bit, P = 2) from a description of its graph.
std::vector<uint8_t> hnsw_file(uint32_t entry, uint32_t max_level, const std::vector<GraphNode>& nodes) {
    HeaderFields f;
    f.dim = 4;
    f.n4_dims = 4;
    f.index_type = 2;
    f.n_vectors = nodes.size();
    f.hnsw_m = 4;
    auto out = header_bytes(f);
    put_u32(out, static_cast<uint32_t>(nodes.size()));
    put_u32(out, entry);
    put_u32(out, max_level);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        put_u64(out, 70 + i);
        put_u8(out, static_cast<uint8_t>(0x12 * (i + 1)));
        put_u8(out, static_cast<uint8_t>(0x34 + i));
        put_f32(out, 2.0f);
        put_u8(out, nodes[i].lists);
        for (uint8_t l = 0; l < nodes[i].lists; ++l) {
            const auto& links = l < nodes[i].links.size() ? nodes[i].links[l] : std::vector<uint32_t>{};
            put_u16(out, static_cast<uint16_t>(links.size()));
            for (uint32_t t : links) put_u32(out, t);
        }
    }
    return out;
}

TEST(PersistLoad, DamagedGraphsAreRefused) {
    ScratchDir dir;
    const std::vector<GraphNode> good = {{2, {{1, 2}, {2}}}, {1, {{0}}}, {2, {{0, 1}, {0}}}};
    write_file(dir.file("good.kivo"), hnsw_file(0, 1, good));
    auto ok = load_both(dir.file("good.kivo"));
    ASSERT_TRUE(ok.has_value()) << ok.error().message();
    EXPECT_EQ(ok->hnsw()->record(2).neighbours[1], (std::vector<search::Neighbour>{{0, 0.0f}}));
    auto found = ok->search(std::vector<float>{1, 0, 0, 0}, 3, std::nullopt);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->size(), 3u);

    struct Case {
        const char* name;
        uint32_t entry;
        uint32_t max_level;
        std::vector<GraphNode> nodes;
        const char* message;
    };
    const Case cases[] = {
        {"no entry", 0xFFFFFFFFu, 1, good, "HNSW graph of 3 nodes has no entry point"},
        {"entry out of range", 3, 1, good, "HNSW entry point 3 is out of range for 3 nodes"},
        {"entry below max_level", 1, 1, good, "HNSW entry node 1 has level 0, not max_level 1"},
        {"max_level above every node", 0, 2, good, "HNSW entry node 0 has level 1, not max_level 2"},
        {"node above max_level", 1, 0, good, "HNSW node 0 has level 1 above max_level 0"},
        {"link out of range", 0, 1, {{2, {{1, 7}, {}}}, {1, {{0}}}}, "HNSW node 0 links to node 7 on layer 0, out of range for 2 nodes"},
        {"link to a lower node", 0, 1, {{2, {{1}, {1}}}, {1, {{0}}}}, "HNSW node 0 links on layer 1 to node 1 of level 0"},
        {"node without lists", 0, 0, {{1, {{}}}, {0, {}}}, "HNSW node 1 has no neighbour lists"},
        {"entry without nodes", 0, 0, {}, "HNSW entry point 0 in a graph without nodes"},
        {"max_level without nodes", 0xFFFFFFFFu, 4, {}, "HNSW max_level 4 in a graph without nodes"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("bad.kivo"), hnsw_file(c.entry, c.max_level, c.nodes));
        auto loaded = load_both(dir.file("bad.kivo"));
        ASSERT_FALSE(loaded.has_value()) << c.name;
        EXPECT_EQ(loaded.error().kind(), ErrorKind::InvalidFormat) << c.name;
        EXPECT_EQ(loaded.error().message(), std::string("invalid .kivo file: ") + c.message) << c.name;
    }
}

// An IVF file with centroids, members and list count of a given shape.
std::vector<uint8_t> ivf_file(uint32_t dim, uint32_t centroid_len, const std::vector<uint32_t>& members) {
    HeaderFields f;
    f.dim = dim;
    f.n4_dims = static_cast<uint32_t>(vocab::padded_dim_for(dim).value());
    f.index_type = 1;
    f.ivf_nlist = 2;
    f.ivf_nprobe = 4;
    auto out = header_bytes(f);
    const uint64_t p = vocab::packed_bytes_per_vec_for(vocab::padded_dim_for(dim).value(), f.n4_dims);
    put_u32(out, static_cast<uint32_t>(members.size()));
    put_u32(out, centroid_len);
    for (std::size_t l = 0; l < members.size(); ++l) {
        for (uint32_t i = 0; i < centroid_len; ++i) put_f32(out, static_cast<float>(l) + 0.25f * i);
        put_u32(out, members[l]);
        for (uint32_t j = 0; j < members[l]; ++j) {
            put_u64(out, 1000 * l + j);
            for (uint64_t b = 0; b < p; ++b) put_u8(out, static_cast<uint8_t>(17 * j + b));
            put_f32(out, 1.0f);
        }
    }
    return out;
}

TEST(PersistLoad, IvfCentroidsMustMatchThePaddedDimension) {
    ScratchDir dir;
    write_file(dir.file("ok.kivo"), ivf_file(6, 8, {2, 0, 3}));
    auto ok = load_both(dir.file("ok.kivo"));
    ASSERT_TRUE(ok.has_value()) << ok.error().message();
    EXPECT_EQ(ok->len(), 5u);
    EXPECT_EQ(ok->search(std::vector<float>(6, 0.5f), 10, std::nullopt)->size(), 5u);

    write_file(dir.file("bad.kivo"), ivf_file(6, 6, {2, 1}));
    EXPECT_EQ(error_of(load_both(dir.file("bad.kivo"))),
              "invalid .kivo file: IVF centroid length 6 does not match the padded dimension 8");
}

// An IVF file without lists, or with empty lists only, loads into an index
// that searches, saves and takes new vectors like an empty one.
TEST(PersistLoad, IvfWithoutMembersBehaves) {
    ScratchDir dir;
    for (const auto& members : {std::vector<uint32_t>{}, std::vector<uint32_t>{0, 0}}) {
        write_file(dir.file("e.kivo"), ivf_file(6, members.empty() ? 0 : 8, members));
        auto loaded = load_both(dir.file("e.kivo"));
        ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
        EXPECT_EQ(loaded->len(), 0u);
        EXPECT_EQ(loaded->ivf()->lists.size(), members.size());
        auto search = loaded->search(std::vector<float>(6, 1.0f), 3, std::nullopt);
        ASSERT_FALSE(search.has_value());
        EXPECT_EQ(search.error().message(), "index is empty");
        ASSERT_TRUE(loaded->save(dir.file("e2.kivo")).has_value());
        EXPECT_EQ(read_file(dir.file("e.kivo")), read_file(dir.file("e2.kivo")));

        // New vectors, then build(): searchable, and saved with them.
        add_vectors(*loaded, 0, 9);
        if (members.empty()) {
            // No list to place them in before build(): refused, not dropped.
            auto refused = loaded->save(dir.file("e3.kivo"));
            ASSERT_FALSE(refused.has_value());
            EXPECT_EQ(refused.error().message(),
                      "io error: 9 vectors added after build() have no list to go into; call build() before save()");
        }
        ASSERT_TRUE(loaded->build().has_value());
        EXPECT_EQ(loaded->len(), 9u);
        ASSERT_TRUE(loaded->save(dir.file("e3.kivo")).has_value());
        auto again = load_both(dir.file("e3.kivo"));
        ASSERT_TRUE(again.has_value());
        expect_same_results(*loaded, *again, 9, "rebuilt empty IVF");
    }
}

// Values this writer can never produce are refused, naming the field: a
// norm is the norm of a code (finite, not negative), inv_std comes from fit()
// (finite, positive). A NaN mean (fit() over NaN input) or a NaN centroid
// (k-means over NaN vectors) can be written, so they load.
TEST(PersistLoad, ValuesTheWriterCannotProduceAreRefused) {
    ScratchDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto patch = [](std::vector<uint8_t> bytes, std::size_t at, float value) {
        std::memcpy(bytes.data() + at, &value, sizeof value);
        return bytes;
    };
    auto save_bytes = [&](const Kivo& index) {
        EXPECT_TRUE(index.save(dir.file("src.kivo")).has_value());
        return read_file(dir.file("src.kivo"));
    };

    // L2 brute force after fit(): dim 8, 10 vectors.
    auto brute = Kivo::create(make_config(8, Metric::L2, IndexType::BruteForce));
    ASSERT_TRUE(brute.has_value());
    std::vector<std::vector<float>> sample = {vec_for(1, 8), vec_for(2, 8), vec_for(3, 8)};
    ASSERT_TRUE(brute->fit(sample).has_value());
    add_vectors(*brute, 0, 10);
    const auto b = save_bytes(*brute);
    const std::size_t p = brute->packed_bytes_per_vec();
    const std::size_t std_at = 56;
    const std::size_t inv_at = std_at + 4 * 8;
    const std::size_t norms_at = 56 + 64 + 10 * (p + 8);

    const Kivo ivf = make_index(make_config(8, Metric::L2, IndexType::IvfFlat), 20);
    const auto v = save_bytes(ivf);
    const std::size_t ivf_member_norm = 56 + 8 + 4 * 8 + 4 + 8 + p;  // list 0, member 0
    ASSERT_GT(ivf.ivf()->lists[0].size(), 0u);

    const Kivo hnsw = make_index(make_config(8, Metric::L2, IndexType::Hnsw), 20);
    const auto h = save_bytes(hnsw);
    const std::size_t node0_norm = 56 + 12 + 8 + p;

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* error;  // nullptr: loads
    };
    const Case cases[] = {
        {"NaN norm", patch(b, norms_at, nan),
         "invalid .kivo file: norm of vector 0 is NaN; stored norms are finite and not negative"},
        {"infinite norm", patch(b, norms_at + 4 * 9, inf),
         "invalid .kivo file: norm of vector 9 is inf; stored norms are finite and not negative"},
        {"negative norm", patch(b, norms_at + 4 * 3, -1.5f),
         "invalid .kivo file: norm of vector 3 is -1.5; stored norms are finite and not negative"},
        {"NaN inv_std", patch(b, inv_at + 4 * 2, nan),
         "invalid .kivo file: standardization inv_std[2] is NaN; stored values are finite and positive"},
        {"zero inv_std", patch(b, inv_at, 0.0f),
         "invalid .kivo file: standardization inv_std[0] is 0; stored values are finite and positive"},
        {"NaN IVF member norm", patch(v, ivf_member_norm, nan),
         "invalid .kivo file: norm of IVF list 0 member 0 is NaN; stored norms are finite and not negative"},
        {"NaN HNSW node norm", patch(h, node0_norm, nan),
         "invalid .kivo file: norm of HNSW node 0 is NaN; stored norms are finite and not negative"},
        {"NaN mean", patch(b, std_at + 4, nan), nullptr},
        {"NaN centroid", patch(v, 56 + 8 + 4 * 3, nan), nullptr},
        {"zero norm", patch(b, norms_at, 0.0f), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("bad.kivo"), c.bytes);
        auto loaded = load_both(dir.file("bad.kivo"));
        if (c.error == nullptr) {
            ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
            continue;
        }
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error().kind(), ErrorKind::InvalidFormat);
        EXPECT_EQ(loaded.error().message(), c.error);
    }
}

// ---- truncation sweep and corpus replay -------------------------------------------

// Every prefix of a valid file of each index type loads or fails with an
// error, through both paths; never a crash (also run under the sanitizers).
TEST(PersistLoad, EveryPrefixOfAValidFileIsHandled) {
    ScratchDir dir;
    for (IndexType type : kTypes) {
        EngineConfig config = make_config(6, Metric::L2, type, 4, 4);
        auto index = Kivo::create(config);
        ASSERT_TRUE(index.has_value());
        std::vector<std::vector<float>> sample = {vec_for(1, 6), vec_for(2, 6)};
        ASSERT_TRUE(index->fit(sample).has_value());
        add_vectors(*index, 0, 9);
        if (type != IndexType::BruteForce) {
            ASSERT_TRUE(index->build().has_value());
        }
        ASSERT_TRUE(index->save(dir.file("full.kivo")).has_value());
        const auto bytes = read_file(dir.file("full.kivo"));
        for (std::size_t len = 0; len <= bytes.size(); ++len) {
            write_file(dir.file("p.kivo"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len)));
            auto loaded = load_both(dir.file("p.kivo"));
            if (len == bytes.size()) {
                ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
                expect_same_results(*index, *loaded, 9, "full file");
            } else {
                ASSERT_FALSE(loaded.has_value()) << index_type_name(type) << " prefix " << len;
                EXPECT_EQ(loaded.error().message(), "io error: failed to fill whole buffer")
                    << index_type_name(type) << " prefix " << len;
            }
        }
    }
}

TEST(PersistLoad, FuzzCorpusAndReproducersKeepTheLoaderProperties) {
    ScratchDir dir;
    std::size_t files = 0;
    for (const char* sub : {"fuzz/corpus", "fuzz/reproducers"}) {
        const std::filesystem::path root = std::filesystem::path(KIVO_SOURCE_DIR) / sub;
        if (!std::filesystem::exists(root)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
            ++files;
            auto broken = fuzzcheck::check_file(entry.path().string(), dir.file("scratch.kivo"));
            EXPECT_FALSE(broken.has_value()) << entry.path() << ": " << *broken;
        }
    }
    EXPECT_GT(files, 0u) << "no corpus found under " << KIVO_SOURCE_DIR;
}

}  // namespace
}  // namespace kivo::engine
