// Kivo: one index object. Owns its configuration, quantization pipeline, flat
// store (codes, ids, norms), IVF training vectors and at most one search
// structure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "error.h"
#include "interrupt.h"
#include "quantize/pipeline.h"
#include "search/hnsw.h"
#include "search/ivf.h"
#include "search/topk.h"
#include "simd/self_check.h"

namespace kivo::io {
class ByteReader;
struct Header;
struct WriteFaults;
}  // namespace kivo::io

namespace kivo::engine {

// The engine's interface speaks the shared vocabulary.
using vocab::EngineConfig;
using vocab::IndexType;
using vocab::HnswSelection;
using vocab::Metric;

// The scoring kernels as this build and processor run them (for checking a
// packaged build; see simd/self_check.h).
using simd::KernelCheck;
inline std::vector<KernelCheck> check_kernels() { return simd::check_kernels(); }

// nq rows of `width` = min(k, len()) entries, row-major; a row with fewer
// results is padded with kNoId and -infinity.
struct BatchResult {
    static constexpr uint64_t kNoId = ~uint64_t{0};
    uint64_t nq = 0;
    uint64_t width = 0;
    std::vector<uint64_t> ids;
    std::vector<float> scores;
};

class Kivo {
public:
    static Result<Kivo> create(const EngineConfig& config);

    // Vector count: IVF list sizes once built, else HNSW node count, else the
    // flat store's ids.
    uint64_t len() const;

    // Ingest (exclusive access). add and add_flat ask `interrupt` before each
    // vector: an interrupted add returns Interrupted and keeps the vectors
    // added before it, each complete. An interrupted build() returns
    // Interrupted with the index exactly as it was.
    Status add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
               const InterruptCheck& interrupt = {});
    Status add_flat(std::span<const uint64_t> ids, std::span<const float> data, const InterruptCheck& interrupt = {});
    Status fit(std::span<const std::vector<float>> vectors);
    Status build(const InterruptCheck& interrupt = {});

    // Removal (exclusive access). Every stored vector whose id is listed goes,
    // all of them when an id is stored more than once; ids not stored are
    // ignored. Returns the number of vectors removed, counting the pending
    // vectors of an IvfFlat index (which len() does not count). The remaining
    // vectors keep their order. An interrupted remove returns Interrupted
    // with the index exactly as it was.
    Result<uint64_t> remove(std::span<const uint64_t> ids, const InterruptCheck& interrupt = {});
    // Replacement: the vectors stored under each id give way to the given
    // one (remove, then add). The input is checked first, by add's rules, and
    // a refused call leaves the index unchanged. An IvfFlat index holds the
    // new vectors pending until the next build(), as add does. `interrupt`
    // is asked only while the old vectors are removed (an interrupted upsert
    // leaves the index as it was); the additions then run to the end, since
    // stopping between them would leave ids removed and not replaced.
    Status upsert(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
                  const InterruptCheck& interrupt = {});
    Status upsert_flat(std::span<const uint64_t> ids, std::span<const float> data,
                       const InterruptCheck& interrupt = {});

    // Query (shared access).
    Result<std::vector<search::ScoredId>> search(std::span<const float> query, uint64_t k,
                                                 std::optional<std::span<const uint64_t>> allowlist) const;

    // Batch query (shared access): `queries` holds nq rows of dim values.
    // Row i of the result is search(row i, k) without allowlist, bit for bit,
    // whatever `threads` is; with an allowlist every index type pre-filters
    // (see batch.cpp). threads = 0 uses every core the process may run on.
    // `prune` false scores every brute-force code exactly (the first pass
    // only skips work, never changes a row; for comparisons).
    Result<BatchResult> search_batch(std::span<const float> queries, uint64_t nq, uint64_t k,
                                     std::optional<std::span<const uint64_t>> allowlist, unsigned threads,
                                     const InterruptCheck& interrupt = {}, bool prune = true) const;

    // Runtime tunables: change the live structure only, never the config.
    void set_ef_search(uint64_t ef);
    void set_nprobe(uint64_t nprobe);
    // How later insertions choose HNSW links. Not stored in the file: a
    // loaded index starts with the default (Diverse) and its loader sets
    // this when the caller asks for another rule.
    void set_hnsw_selection(HnswSelection selection);

    // Persistence. Paths are passed unchanged to the operating system; one
    // holding a NUL byte is refused. save() replaces the file atomically and
    // durably (io::FileWriter): after a failure or an interrupt the old file
    // is as it was. The loads read the file into memory the engine owns; an
    // interrupted or failed load returns nothing else.
    Status save(const std::string& path, const InterruptCheck& interrupt = {}) const;
    // save() with failures injected into the writer, for tests of what a
    // failed save leaves behind.
    Status save_with_faults(const std::string& path, const io::WriteFaults& faults,
                            const InterruptCheck& interrupt = {}) const;
    static Result<Kivo> load(const std::string& path, const InterruptCheck& interrupt = {});
    static Result<Kivo> load_mmap(const std::string& path, const InterruptCheck& interrupt = {});

    // The query as the scoring kernels see it: standardized (when fitted),
    // rotated and scaled; padded_dim() floats. `query` holds dim() floats.
    std::vector<float> transform_query(std::span<const float> query) const;
    // Per padded coordinate variance of a sample after the index's own
    // normalization, rotation and scale.
    Result<std::vector<float>> profile_variance(std::span<const std::vector<float>> sample) const;
    // n4_dims for an average bit budget, from a sample under this index's
    // configuration.
    Result<uint64_t> optimal_n4_dims(std::span<const std::vector<float>> sample, double avg_bits) const;
    // The 16 and 4 codebook values (float32) every index scores with.
    static std::span<const float> centroids_4bit();
    static std::span<const float> centroids_2bit();

    // Accessors.
    const EngineConfig& config() const { return config_; }
    const quantize::QuantPipeline& pipeline() const { return pipeline_; }
    uint64_t dim() const { return config_.dim; }
    Metric metric() const { return config_.metric; }
    uint8_t bit_width() const { return config_.bit_width; }
    IndexType index_type() const { return config_.index_type; }
    uint64_t n4_dims() const { return pipeline_.n4_dims(); }
    uint64_t padded_dim() const { return pipeline_.padded_dim(); }
    uint64_t pb4_per_vec() const { return pipeline_.pb4_per_vec(); }
    uint64_t packed_bytes_per_vec() const { return packed_bytes_per_vec_; }
    std::span<const uint8_t> codes() const { return codes_; }
    std::span<const uint64_t> ids() const { return ids_; }
    std::span<const float> norms() const { return norms_; }
    const std::vector<std::vector<float>>& training_vectors() const { return training_vectors_; }
    const std::optional<search::IvfFlat>& ivf() const { return ivf_; }
    const std::optional<search::Hnsw>& hnsw() const { return hnsw_; }

private:
    Kivo(EngineConfig config, quantize::QuantPipeline pipeline);

    // Both load paths after the header: checks, standardization section,
    // body, pipeline and assembly.
    static Result<Kivo> load_body(io::ByteReader& reader, const io::Header& header);

    // An upsert's removal, with the graph's construction vectors kept for
    // the insertions that follow it.
    Status remove_replaced(std::span<const uint64_t> ids, const InterruptCheck& interrupt);

    // One accepted vector, by index type (steps shared by add and add_flat).
    void ingest_one(uint64_t id, std::span<const float> vector);

    quantize::QuantPipeline pipeline_;
    std::vector<uint8_t> codes_;
    std::vector<uint64_t> ids_;
    std::vector<float> norms_;
    uint64_t packed_bytes_per_vec_ = 0;
    std::vector<std::vector<float>> training_vectors_;
    std::optional<search::IvfFlat> ivf_;
    std::optional<search::Hnsw> hnsw_;
    EngineConfig config_;
};

}  // namespace kivo::engine
