// The flat layout of Hnsw: node arrays, link blocks and their strides, the
// plain-record view, and the chunked store of construction vectors.
#include <algorithm>
#include <cstring>

#include "large_buffer.h"
#include "search/hnsw.h"

namespace kivo::search {

namespace {

// Copies every block of `words` from stride `from` to stride `to` (> from);
// an empty array (state not held) stays empty.
template <class T>
void restride(std::vector<T>& words, uint64_t blocks, uint64_t from, uint64_t to) {
    if (words.empty()) return;
    std::vector<T> wider;
    reserve_large(wider, static_cast<std::size_t>(blocks * (to + 1)));
    wider.resize(static_cast<std::size_t>(blocks * (to + 1)), T{});
    for (uint64_t b = 0; b < blocks; ++b) {
        std::copy_n(words.begin() + static_cast<std::ptrdiff_t>(b * (from + 1)), from + 1,
                    wider.begin() + static_cast<std::ptrdiff_t>(b * (to + 1)));
    }
    words.swap(wider);
}

template <class T>
std::size_t capacity_bytes(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

}  // namespace

// ---- RowStore ----

uint64_t RowStore::chunk_shift(uint64_t dim) {
    uint64_t shift = kMaxChunkShift;
    const uint64_t row_bytes = std::max<uint64_t>(dim, 1) * sizeof(float);
    while (shift > 0 && (uint64_t{1} << shift) * row_bytes > kChunkBytes) --shift;
    return shift;
}

RowStore::RowStore(const RowStore& other) : dim_(other.dim_), shift_(other.shift_) {
    for (uint64_t i = 0; i < other.size_; ++i) push_back({other.row(i), static_cast<std::size_t>(dim_)});
}

RowStore& RowStore::operator=(const RowStore& other) {
    if (this != &other) *this = RowStore(other);
    return *this;
}

void RowStore::reset(uint64_t dim) {
    clear();
    dim_ = dim;
    shift_ = chunk_shift(dim);
}

void RowStore::push_back(std::span<const float> row) {
    const uint64_t at = size_ & mask();
    if (at == 0 && (size_ >> shift_) == chunks_.size()) {
        const std::size_t floats = static_cast<std::size_t>(chunk_floats());
        chunks_.emplace_back(new float[floats]);
        // Construction reads rows at random across the store.
        advise_large_pages(chunks_.back().get(), floats * sizeof(float));
    }
    float* dst = chunks_[size_ >> shift_].get() + at * dim_;
    std::copy_n(row.begin(), std::min<std::size_t>(row.size(), dim_), dst);
    if (row.size() < dim_) std::fill(dst + row.size(), dst + dim_, 0.0f);
    ++size_;
}

void RowStore::truncate(uint64_t count) {
    if (count >= size_) return;
    size_ = count;
    chunks_.resize(static_cast<std::size_t>((count + mask()) >> shift_));
}

void RowStore::clear() {
    std::vector<std::unique_ptr<float[]>>().swap(chunks_);
    size_ = 0;
}

std::size_t RowStore::bytes() const {
    return chunks_.size() * static_cast<std::size_t>(chunk_floats()) * sizeof(float) +
           capacity_bytes(chunks_);
}

// ---- node arrays and link blocks ----

uint32_t Hnsw::append_node(uint64_t id, std::span<const uint8_t> code, float norm, uint64_t level) {
    const uint32_t node = static_cast<uint32_t>(ids_.size());
    ids_.push_back(id);
    norms_.push_back(norm);
    levels_.push_back(static_cast<uint8_t>(std::min(level, kMaxLevel)));
    // A code of another length (outside the engine's use) is cut or padded
    // so that every node keeps exactly packed_bytes_per_vec bytes.
    const std::size_t bytes = static_cast<std::size_t>(packed_bytes_per_vec);
    const std::size_t take = std::min(bytes, code.size());
    reserve_large(codes_, codes_.size() + bytes);
    codes_.insert(codes_.end(), code.begin(), code.begin() + static_cast<std::ptrdiff_t>(take));
    codes_.resize(codes_.size() + (bytes - take), 0);
    reserve_large(layer0_, layer0_.size() + static_cast<std::size_t>(layer0_stride_ + 1));
    layer0_.resize(layer0_.size() + static_cast<std::size_t>(layer0_stride_ + 1), 0);
    if (has_scores_) {
        layer0_scores_.resize(layer0_.size(), 0.0f);
        layer0_status_.resize(layer0_.size(), LinkStatus::Unknown);
    }
    upper_block_.push_back(upper_blocks_);
    const uint64_t lv = levels_.back();
    if (lv > 0) {
        upper_blocks_ += lv;
        upper_.resize(static_cast<std::size_t>(upper_blocks_ * (upper_stride_ + 1)), 0);
        if (has_scores_) {
            upper_scores_.resize(upper_.size(), 0.0f);
            upper_status_.resize(upper_.size(), LinkStatus::Unknown);
        }
    }
    return node;
}

void Hnsw::ensure_stride(bool upper, uint64_t count) {
    uint64_t& stride = upper ? upper_stride_ : layer0_stride_;
    if (count <= stride) return;
    // Doubling keeps the rewrites to a logarithmic number; the budget caps
    // the stride of graphs that insertion fills.
    uint64_t wider = std::max<uint64_t>(count, std::max<uint64_t>(4, stride * 2));
    wider = std::max(count, std::min(wider, layer_budget(upper ? 1 : 0)));
    const uint64_t blocks = upper ? upper_blocks_ : ids_.size();
    if (upper) {
        restride(upper_, blocks, stride, wider);
        restride(upper_scores_, blocks, stride, wider);
        restride(upper_status_, blocks, stride, wider);
    } else {
        restride(layer0_, blocks, stride, wider);
        restride(layer0_scores_, blocks, stride, wider);
        restride(layer0_status_, blocks, stride, wider);
    }
    stride = wider;
}

void Hnsw::push_link(uint32_t node, uint64_t layer, uint32_t target, float score) {
    const std::size_t word = word_of(node, layer);
    std::vector<uint32_t>& words = layer == 0 ? layer0_ : upper_;
    const uint32_t count = words[word];
    words[word + 1 + count] = target;
    words[word] = count + 1;
    if (has_scores_) (layer == 0 ? layer0_scores_ : upper_scores_)[word + 1 + count] = score;
    // An appended link leaves the list out of score order.
    std::vector<LinkStatus>& status = layer == 0 ? layer0_status_ : upper_status_;
    if (!status.empty()) status[word + 1 + count] = LinkStatus::Unknown;
}

void Hnsw::set_links(uint32_t node, uint64_t layer, std::span<const uint32_t> targets,
                     std::span<const float> scores) {
    if (node >= size() || layer > levels_[node]) return;
    ensure_stride(layer > 0, targets.size());
    const std::size_t word = word_of(node, layer);
    std::vector<uint32_t>& words = layer == 0 ? layer0_ : upper_;
    words[word] = static_cast<uint32_t>(targets.size());
    std::copy(targets.begin(), targets.end(), words.begin() + static_cast<std::ptrdiff_t>(word + 1));
    if (has_scores_) {
        std::vector<float>& s = layer == 0 ? layer0_scores_ : upper_scores_;
        for (std::size_t i = 0; i < targets.size(); ++i) s[word + 1 + i] = i < scores.size() ? scores[i] : 0.0f;
    }
    set_link_status(node, layer, {});
}

void Hnsw::set_link_status(uint32_t node, uint64_t layer, std::span<const LinkStatus> status) {
    std::vector<LinkStatus>& all = layer == 0 ? layer0_status_ : upper_status_;
    if (all.empty() || node >= size() || layer > levels_[node]) return;
    const std::size_t word = word_of(node, layer);
    const uint32_t count = (layer == 0 ? layer0_ : upper_)[word];
    for (std::size_t i = 0; i < count; ++i) all[word + 1 + i] = i < status.size() ? status[i] : LinkStatus::Unknown;
}

std::span<const LinkStatus> Hnsw::link_status(uint32_t node, uint64_t layer) const {
    const std::vector<LinkStatus>& all = layer == 0 ? layer0_status_ : upper_status_;
    if (all.empty() || node >= size() || layer > levels_[node]) return {};
    const std::size_t word = word_of(node, layer);
    const uint32_t count = (layer == 0 ? layer0_ : upper_)[word];
    return {all.data() + word + 1, count};
}

void Hnsw::forget_link_status() {
    const bool held = has_scores_;
    layer0_status_.assign(held ? layer0_.size() : 0, LinkStatus::Unknown);
    upper_status_.assign(held ? upper_.size() : 0, LinkStatus::Unknown);
    if (!held) {
        layer0_status_.shrink_to_fit();
        upper_status_.shrink_to_fit();
    }
}

std::span<const float> Hnsw::link_scores(uint32_t node, uint64_t layer) const {
    if (!has_scores_ || node >= size() || layer > levels_[node]) return {};
    const std::size_t word = word_of(node, layer);
    const std::vector<float>& s = layer == 0 ? layer0_scores_ : upper_scores_;
    const uint32_t count = (layer == 0 ? layer0_ : upper_)[word];
    return {s.data() + word + 1, count};
}

HnswNode Hnsw::record(uint32_t node) const {
    HnswNode out;
    const std::span<const uint8_t> c = code(node);
    out.codes.assign(c.begin(), c.end());
    out.id = ids_[node];
    out.norm = norms_[node];
    out.neighbours.resize(static_cast<std::size_t>(levels_[node]) + 1);
    for (uint64_t l = 0; l <= levels_[node]; ++l) {
        const std::span<const uint32_t> t = links(node, l);
        const std::span<const float> s = link_scores(node, l);
        for (std::size_t i = 0; i < t.size(); ++i) out.neighbours[l].push_back({t[i], s.empty() ? 0.0f : s[i]});
    }
    return out;
}

void Hnsw::append_record(const HnswNode& node) {
    const uint64_t level = node.neighbours.empty() ? 0 : node.neighbours.size() - 1;
    const uint32_t index = append_node(node.id, node.codes, node.norm, level);
    std::vector<uint32_t> targets;
    std::vector<float> scores;
    for (uint64_t l = 0; l < node.neighbours.size() && l <= levels_[index]; ++l) {
        targets.clear();
        scores.clear();
        for (const Neighbour& link : node.neighbours[l]) {
            targets.push_back(link.node);
            scores.push_back(link.score);
        }
        set_links(index, l, targets, scores);
    }
}

std::size_t Hnsw::memory_bytes() const {
    return capacity_bytes(ids_) + capacity_bytes(norms_) + capacity_bytes(levels_) + capacity_bytes(codes_) +
           capacity_bytes(layer0_) + capacity_bytes(upper_block_) + capacity_bytes(upper_) +
           capacity_bytes(layer0_scores_) + capacity_bytes(upper_scores_) + capacity_bytes(layer0_status_) +
           capacity_bytes(upper_status_) + capacity_bytes(vector_sq_sums_) +
           vectors_.bytes();
}

void Hnsw::release_vectors() {
    vectors_.clear();
    std::vector<float>().swap(vector_sq_sums_);
    std::vector<float>().swap(layer0_scores_);
    std::vector<float>().swap(upper_scores_);
    has_scores_ = false;
    forget_link_status();
    // Insertion grows the arrays geometrically; a finished graph keeps only
    // what it holds.
    shrink_large(ids_);
    shrink_large(norms_);
    shrink_large(levels_);
    shrink_large(codes_);
    shrink_large(layer0_);
    shrink_large(upper_block_);
    shrink_large(upper_);
}

void Hnsw::push_vector(std::span<const float> row) {
    if (vectors_.empty() && vectors_.dim() != row.size()) vectors_.reset(row.size());
    vectors_.push_back(row);
    float sq = 0.0f;
    for (float x : std::span<const float>(vectors_.row(vectors_.size() - 1), vectors_.dim())) {
        const float p = x * x;
        sq = sq + p;
    }
    vector_sq_sums_.push_back(sq);
}

void Hnsw::truncate_vectors(uint64_t count) {
    vectors_.truncate(count);
    if (vector_sq_sums_.size() > vectors_.size()) vector_sq_sums_.resize(static_cast<std::size_t>(vectors_.size()));
}

}  // namespace kivo::search
