// Test memory whose last byte sits just before an inaccessible page, so that
// any read past the end of a query or a code faults instead of passing
// silently.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo::testing {

class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size) : size_(size) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t body = (size + page - 1) / page * page;
        mapped_ = body + page;
        base_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED) {
            base_ = nullptr;
            return;
        }
        mprotect(static_cast<char*>(base_) + body, page, PROT_NONE);
        data_ = static_cast<char*>(base_) + body - size;
    }
    ~GuardedBuffer() {
        if (base_ != nullptr) munmap(base_, mapped_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    bool ok() const { return base_ != nullptr; }
    void* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::size_t mapped_ = 0;
    void* base_ = nullptr;
    void* data_ = nullptr;
};

// `count` blocks of `size` bytes in one guarded buffer, separated by gaps of
// 1 to 11 bytes that change from block to block, so the blocks start at
// assorted offsets within a cache line; the last block ends right before the
// inaccessible page. Gap bytes are part of the buffer and may hold anything.
class GuardedBlocks {
public:
    GuardedBlocks(std::size_t count, std::size_t size) : buffer_(layout(count, size, offsets_)) {
        for (std::size_t off : offsets_) blocks_.push_back(static_cast<uint8_t*>(buffer_.data()) + off);
    }
    bool ok() const { return buffer_.ok(); }
    std::size_t count() const { return blocks_.size(); }
    uint8_t* block(std::size_t k) const { return blocks_[k]; }
    // Every byte, blocks and gaps.
    uint8_t* bytes() const { return static_cast<uint8_t*>(buffer_.data()); }
    std::size_t byte_count() const { return buffer_.size(); }

private:
    static std::size_t layout(std::size_t count, std::size_t size, std::vector<std::size_t>& offsets) {
        std::size_t end = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t start = k == 0 ? 0 : end + 1 + (5 * k) % 11;
            offsets.push_back(start);
            end = start + size;
        }
        return end;
    }

    std::vector<std::size_t> offsets_;
    GuardedBuffer buffer_;
    std::vector<uint8_t*> blocks_;
};

}  // namespace kivo::testing
