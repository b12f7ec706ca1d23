// Helpers shared by the file-format and persistence tests: a scratch
// directory per test and whole-file reads and writes.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "interrupt.h"

namespace kivo::testing {

// Counts its polls and answers true from poll number `fire_at` on (0 based).
struct PollAfter {
    uint64_t fire_at;
    uint64_t polls = 0;
    InterruptCheck check() {
        return {[](void* self) {
                    auto* p = static_cast<PollAfter*>(self);
                    return p->polls++ >= p->fire_at;
                },
                this};
    }
};

class ScratchDir {
public:
    ScratchDir() {
        // Memory-backed when possible: the tests rewrite small files
        // thousands of times, and ext4 flushes a truncated file on close.
        std::error_code ec;
        const std::filesystem::path base = ::access("/dev/shm", W_OK) == 0 && std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "kivo-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Little-endian appenders for building files byte by byte.
inline void put_u8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
inline void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_f32(std::vector<uint8_t>& out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u32(out, bits);
}

struct HeaderFields {
    uint32_t version = 6;
    uint32_t dim = 8;
    uint8_t metric = 0;
    uint8_t bit_width = 4;
    uint8_t index_type = 0;
    uint64_t n_vectors = 0;
    uint64_t seed = 0xDEADBEEFCAFE1337ULL;
    uint32_t n4_dims = 8;
    uint32_t ivf_nlist = 0;
    uint32_t ivf_nprobe = 0;
    uint16_t hnsw_m = 0;
    uint16_t hnsw_ef_construction = 0;
    uint16_t hnsw_ef_search = 0;
    uint8_t std_flag = 0;
};

// The header exactly as a writer of `fields.version` laid it out: 32 bytes
// for versions 1 and 2, 40 for 3, 56 from 4 on.
inline std::vector<uint8_t> header_bytes(const HeaderFields& f) {
    std::vector<uint8_t> out = {'K', 'I', 'V', 'O'};
    put_u32(out, f.version);
    put_u32(out, f.dim);
    put_u8(out, f.metric);
    put_u8(out, f.bit_width);
    put_u8(out, f.index_type);
    put_u8(out, 0);
    put_u64(out, f.n_vectors);
    put_u64(out, f.seed);
    if (f.version >= 3) {
        put_u32(out, f.n4_dims);
        put_u32(out, 0);
    }
    if (f.version >= 4) {
        put_u32(out, f.ivf_nlist);
        put_u32(out, f.ivf_nprobe);
        put_u16(out, f.hnsw_m);
        put_u16(out, f.hnsw_ef_construction);
        put_u16(out, f.hnsw_ef_search);
        put_u8(out, f.std_flag);
        put_u8(out, 0);
    }
    return out;
}

}  // namespace kivo::testing
