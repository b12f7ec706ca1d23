// Test memory whose last byte sits just before an inaccessible page, so that
// any read past the end of a query or a code faults instead of passing
// silently.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

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

}  // namespace kivo::testing
