// What a failed, faulted or interrupted save, load, build, add, remove or
// upsert leaves behind: the old file byte for byte, no temporary files, an
// engine exactly as before (add: the vectors accepted before the interrupt).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "io/file.h"
#include "persist_test_util.h"

namespace kivo::engine {
namespace {

using kivo::testing::PollAfter;
using kivo::testing::read_file;
using kivo::testing::ScratchDir;

constexpr IndexType kTypes[] = {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw};

EngineConfig make_config(uint64_t dim, IndexType type) {
    EngineConfig c;
    c.dim = dim;
    c.bit_width = 4;
    c.n4_dims = vocab::padded_dim_for(dim).value();
    c.metric = Metric::L2;
    c.index_type = type;
    if (type == IndexType::IvfFlat) {
        c.ivf_nlist = 16;
        c.ivf_nprobe = 4;
    } else if (type == IndexType::Hnsw) {
        c.hnsw_m = 6;
        c.hnsw_ef_construction = 20;
    }
    return c;
}

std::vector<float> rows_for(uint64_t first, uint64_t count, uint64_t dim) {
    std::vector<float> data(count * dim);
    uint64_t x = first * 0x9E3779B97F4A7C15ULL + 1;
    for (float& v : data) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        v = static_cast<float>(static_cast<int64_t>(x % 2001) - 1000) / 300.0f;
    }
    return data;
}

std::vector<uint64_t> ids_for(uint64_t first, uint64_t count) {
    std::vector<uint64_t> ids(count);
    for (uint64_t i = 0; i < count; ++i) ids[i] = 10 * (first + i) + 3;
    return ids;
}

Kivo make_index(IndexType type, uint64_t dim, uint64_t count, uint64_t first = 0) {
    auto index = Kivo::create(make_config(dim, type));
    EXPECT_TRUE(index.has_value());
    EXPECT_TRUE(index->add_flat(ids_for(first, count), rows_for(first, count, dim)).has_value());
    if (type != IndexType::BruteForce) {
        EXPECT_TRUE(index->build().has_value());
    }
    return std::move(*index);
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Results of a few queries, scores by their bits.
std::vector<std::pair<uint64_t, uint32_t>> answers(const Kivo& index) {
    std::vector<std::pair<uint64_t, uint32_t>> out;
    const auto queries = rows_for(999, 4, index.dim());
    for (uint64_t q = 0; q < 4; ++q) {
        auto r = index.search(std::span<const float>(queries).subspan(q * index.dim(), index.dim()), 10, std::nullopt);
        if (!r) {
            out.push_back({~uint64_t{0}, static_cast<uint32_t>(r.error().kind())});
            continue;
        }
        for (const auto& e : *r) out.push_back({e.id, std::bit_cast<uint32_t>(e.score)});
    }
    return out;
}

TEST(DurableSave, FaultsLeaveTheOldFileAndNoTemporaryFile) {
    ScratchDir dir;
    const std::string path = dir.file("index.kivo");
    for (IndexType type : kTypes) {
        SCOPED_TRACE(index_type_name(type));
        const Kivo old_index = make_index(type, 64, 300);
        const Kivo new_index = make_index(type, 64, 500, 1000);
        ASSERT_TRUE(old_index.save(path).has_value());
        const auto old_bytes = read_file(path);
        const io::WriteFaults faults[] = {
            {.fail_after_bytes = 0},
            {.fail_after_bytes = 56},
            {.fail_after_bytes = 9000},
            {.fail_at_fsync = true},
            {.fail_at_rename = true},
        };
        for (const auto& fault : faults) {
            auto saved = new_index.save_with_faults(path, fault);
            ASSERT_FALSE(saved.has_value());
            EXPECT_EQ(saved.error().kind(), ErrorKind::Io);
            EXPECT_EQ(read_file(path), old_bytes);
            EXPECT_EQ(names_in(dir.file("")), std::vector<std::string>{"index.kivo"});
        }
        ASSERT_TRUE(new_index.save(path).has_value());
        auto loaded = Kivo::load(path);
        ASSERT_TRUE(loaded.has_value());
        EXPECT_EQ(answers(*loaded), answers(new_index));
        EXPECT_EQ(names_in(dir.file("")), std::vector<std::string>{"index.kivo"});
    }
}

// An interrupt at any of the save's polls leaves the old file; the run in
// which no poll fires writes the new one. The same for load: an interrupted
// load returns Interrupted, the one that runs through loads the index.
TEST(DurableSave, InterruptedSaveAndLoadChangeNothing) {
    ScratchDir dir;
    const std::string path = dir.file("index.kivo");
    for (IndexType type : kTypes) {
        SCOPED_TRACE(index_type_name(type));
        // Files of a few megabytes: several polls each way.
        const uint64_t count = type == IndexType::Hnsw ? 6000 : 20000;
        const Kivo old_index = make_index(type, 8, 10);
        const Kivo new_index = make_index(type, 256, count);
        ASSERT_TRUE(old_index.save(path).has_value());
        const auto old_bytes = read_file(path);
        uint64_t fire_at = 0;
        for (;; ++fire_at) {
            PollAfter poll{fire_at};
            auto saved = new_index.save(path, poll.check());
            if (saved) break;
            EXPECT_EQ(saved.error().kind(), ErrorKind::Interrupted);
            ASSERT_EQ(read_file(path), old_bytes) << "interrupted at poll " << fire_at;
            EXPECT_EQ(names_in(dir.file("")), std::vector<std::string>{"index.kivo"});
            ASSERT_LT(fire_at, 1000u);
        }
        EXPECT_GE(fire_at, 2u) << "the save polled while writing, not only before the rename";

        for (fire_at = 0;; ++fire_at) {
            PollAfter poll{fire_at};
            auto loaded = Kivo::load_mmap(path, poll.check());
            if (loaded) {
                EXPECT_EQ(answers(*loaded), answers(new_index));
                break;
            }
            EXPECT_EQ(loaded.error().kind(), ErrorKind::Interrupted);
            ASSERT_LT(fire_at, 1000u);
        }
        EXPECT_GE(fire_at, 1u) << "the load polled while reading";
    }
}

TEST(DurableBuild, InterruptedIvfBuildLeavesTheIndexAsItWas) {
    const uint64_t dim = 32;
    auto clean = Kivo::create(make_config(dim, IndexType::IvfFlat));
    ASSERT_TRUE(clean.has_value());
    ASSERT_TRUE(clean->add_flat(ids_for(0, 3000), rows_for(0, 3000, dim)).has_value());
    Kivo pending = *clean;
    ASSERT_TRUE(clean->build().has_value());

    // First build: every interrupt point leaves the vectors pending.
    uint64_t fire_at = 0;
    for (; fire_at < 10000; fire_at = fire_at * 2 + 1) {
        Kivo index = pending;
        PollAfter poll{fire_at};
        auto built = index.build(poll.check());
        if (built) break;
        EXPECT_EQ(built.error().kind(), ErrorKind::Interrupted);
        EXPECT_FALSE(index.ivf().has_value());
        EXPECT_TRUE(std::ranges::equal(index.ids(), pending.ids()));
        EXPECT_TRUE(std::ranges::equal(index.codes(), pending.codes()));
        EXPECT_EQ(index.training_vectors(), pending.training_vectors());
        // And a build after it is the build that was never interrupted.
        ASSERT_TRUE(index.build().has_value());
        EXPECT_EQ(answers(index), answers(*clean));
        EXPECT_EQ(index.ivf()->lists.size(), clean->ivf()->lists.size());
        for (std::size_t l = 0; l < index.ivf()->lists.size(); ++l) {
            EXPECT_EQ(index.ivf()->lists[l].ids, clean->ivf()->lists[l].ids);
        }
    }
    EXPECT_GT(fire_at, 7u) << "k-means polled more than a few times";

    // A later build appends pending vectors; interrupted, nothing moves.
    ASSERT_TRUE(clean->add_flat(ids_for(5000, 700), rows_for(5000, 700, dim)).has_value());
    const Kivo before = *clean;
    PollAfter poll{3};
    auto appended = clean->build(poll.check());
    ASSERT_FALSE(appended.has_value());
    EXPECT_EQ(appended.error().kind(), ErrorKind::Interrupted);
    EXPECT_EQ(clean->len(), before.len());
    EXPECT_TRUE(std::ranges::equal(clean->ids(), before.ids()));
    for (std::size_t l = 0; l < clean->ivf()->lists.size(); ++l) {
        EXPECT_EQ(clean->ivf()->lists[l].ids, before.ivf()->lists[l].ids);
    }
    ASSERT_TRUE(clean->build().has_value());
    EXPECT_EQ(clean->len(), 3700u);
}

// An interrupted add keeps the vectors added before the interrupt, each
// complete, and nothing after it.
TEST(DurableAdd, InterruptedAddKeepsTheRowsBeforeIt) {
    const uint64_t dim = 16;
    for (IndexType type : kTypes) {
        SCOPED_TRACE(index_type_name(type));
        for (uint64_t fire_at : {0u, 1u, 7u}) {
            auto index = Kivo::create(make_config(dim, type));
            ASSERT_TRUE(index.has_value());
            const auto data = rows_for(0, 20, dim);
            PollAfter poll{fire_at};
            auto added = index->add_flat(ids_for(0, 20), data, poll.check());
            ASSERT_FALSE(added.has_value());
            EXPECT_EQ(added.error().kind(), ErrorKind::Interrupted);
            EXPECT_EQ(index->len(), fire_at);

            // The same rows added without interruption give the same index.
            auto reference = Kivo::create(make_config(dim, type));
            ASSERT_TRUE(reference->add_flat(ids_for(0, fire_at), std::span<const float>(data).first(fire_at * dim))
                            .has_value());
            if (type == IndexType::IvfFlat) {
                EXPECT_TRUE(std::ranges::equal(index->ids(), reference->ids()));
                EXPECT_TRUE(std::ranges::equal(index->codes(), reference->codes()));
                EXPECT_EQ(index->training_vectors(), reference->training_vectors());
                if (fire_at == 0) continue;
                ASSERT_TRUE(index->build().has_value());
                ASSERT_TRUE(reference->build().has_value());
            }
            if (fire_at > 0) {
                EXPECT_EQ(answers(*index), answers(*reference));
            }

            // The row-list form behaves alike.
            auto rows_index = Kivo::create(make_config(dim, type));
            std::vector<std::vector<float>> rows;
            for (uint64_t i = 0; i < 20; ++i) rows.emplace_back(data.begin() + i * dim, data.begin() + (i + 1) * dim);
            PollAfter again{fire_at};
            ASSERT_FALSE(rows_index->add(ids_for(0, 20), rows, again.check()).has_value());
            EXPECT_EQ(rows_index->len(), fire_at);
        }
    }
}

// Everything a removal can change: the flat store, the lists and the graph
// (links, their scores and whether construction vectors are held).
void expect_same_contents(const Kivo& a, const Kivo& b) {
    EXPECT_EQ(a.len(), b.len());
    EXPECT_TRUE(std::ranges::equal(a.ids(), b.ids()));
    EXPECT_TRUE(std::ranges::equal(a.codes(), b.codes()));
    EXPECT_TRUE(std::ranges::equal(a.norms(), b.norms()));
    EXPECT_EQ(a.training_vectors(), b.training_vectors());
    ASSERT_EQ(a.ivf().has_value(), b.ivf().has_value());
    if (a.ivf()) {
        EXPECT_EQ(a.ivf()->lists, b.ivf()->lists);
    }
    ASSERT_EQ(a.hnsw().has_value(), b.hnsw().has_value());
    if (a.hnsw()) {
        const search::Hnsw& g = *a.hnsw();
        const search::Hnsw& h = *b.hnsw();
        ASSERT_EQ(g.size(), h.size());
        EXPECT_EQ(g.entry_point, h.entry_point);
        EXPECT_EQ(g.max_level, h.max_level);
        EXPECT_EQ(g.has_all_vectors(), h.has_all_vectors());
        for (uint32_t i = 0; i < g.size(); ++i) ASSERT_EQ(g.record(i), h.record(i)) << "node " << i;
    }
}

// An interrupted remove or upsert returns Interrupted and leaves the index as
// it was, at every poll; the call in which no poll fires gives the index an
// uninterrupted call gives. The graph asks while it chooses new lists, so a
// removal from it polls many times.
TEST(DurableRemove, InterruptedRemoveAndUpsertLeaveTheIndexAsItWas) {
    const uint64_t dim = 16;
    const uint64_t count = 600;
    std::vector<uint64_t> doomed;
    for (uint64_t i = 0; i < count; i += 3) doomed.push_back(ids_for(i, 1)[0]);
    for (IndexType type : kTypes) {
        SCOPED_TRACE(index_type_name(type));
        Kivo original = make_index(type, dim, count);
        if (type == IndexType::IvfFlat) {
            // Pending vectors too, which the removal takes out of the flat store.
            ASSERT_TRUE(original.add_flat(ids_for(count, 30), rows_for(count, 30, dim)).has_value());
            doomed.push_back(ids_for(count + 1, 1)[0]);
        }
        Kivo removed_clean = original;
        ASSERT_TRUE(removed_clean.remove(doomed).has_value());
        const std::vector<float> replacements = rows_for(5000, doomed.size(), dim);
        Kivo upserted_clean = original;
        ASSERT_TRUE(upserted_clean.upsert_flat(doomed, replacements).has_value());

        uint64_t fire_at = 0;
        for (;; fire_at = fire_at < 8 ? fire_at + 1 : fire_at * 2) {
            ASSERT_LT(fire_at, 100000u);
            Kivo index = original;
            PollAfter poll{fire_at};
            auto removed = index.remove(doomed, poll.check());
            if (removed) {
                EXPECT_EQ(*removed, doomed.size());  // every id stored once
                expect_same_contents(index, removed_clean);
                break;
            }
            EXPECT_EQ(removed.error().kind(), ErrorKind::Interrupted);
            expect_same_contents(index, original);
            // And the removal after it is the one that was never interrupted.
            ASSERT_TRUE(index.remove(doomed).has_value());
            expect_same_contents(index, removed_clean);
        }
        if (type == IndexType::Hnsw) {
            EXPECT_GT(fire_at, 100u) << "the graph polled while choosing lists";
        }

        for (fire_at = 0;; fire_at = fire_at < 8 ? fire_at + 1 : fire_at * 2) {
            ASSERT_LT(fire_at, 100000u);
            Kivo index = original;
            PollAfter poll{fire_at};
            auto upserted = index.upsert_flat(doomed, replacements, poll.check());
            if (upserted) {
                expect_same_contents(index, upserted_clean);
                EXPECT_EQ(answers(index), answers(upserted_clean));
                break;
            }
            EXPECT_EQ(upserted.error().kind(), ErrorKind::Interrupted);
            expect_same_contents(index, original);
        }
        if (type == IndexType::IvfFlat) doomed.pop_back();
    }
}

}  // namespace
}  // namespace kivo::engine
