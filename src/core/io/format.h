// Header of the .kivo index file: the fields of versions 1 to 6, read at the
// file's own version and always written as version 6.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "error.h"
#include "io/file.h"

namespace kivo::io {

inline constexpr std::array<uint8_t, 4> kMagic = {'K', 'I', 'V', 'O'};
inline constexpr uint32_t kCurrentVersion = 6;
inline constexpr uint32_t kOldestVersion = 1;
// The entry value of a graph without an entry node.
inline constexpr uint32_t kNoEntryPoint = 0xFFFFFFFFu;

struct Header {
    uint32_t version = kCurrentVersion;
    uint32_t dim = 0;
    uint8_t metric = 0;      // Metric byte, unchecked here
    uint8_t bit_width = 0;   // stored as is, unchecked
    uint8_t index_type = 0;  // IndexType byte, unchecked here
    uint64_t n_vectors = 0;
    uint64_t seed = 0;
    // Stored from version 3; derived for versions 1 and 2 (padded_dim when
    // the bit width is 4, else 0), which is why it is wider than its field.
    uint64_t n4_dims = 0;
    uint32_t ivf_nlist = 0;
    uint32_t ivf_nprobe = 0;
    uint16_t hnsw_m = 0;
    uint16_t hnsw_ef_construction = 0;
    uint16_t hnsw_ef_search = 0;
    // Honoured from version 6 only.
    bool has_std_params = false;

    // 32 bytes for versions 1 and 2, 40 for version 3, 56 from version 4.
    static std::size_t size_for_version(uint32_t version);
    // True when the version stores ivf_nlist, ivf_nprobe and the HNSW fields.
    static bool stores_index_params(uint32_t version) { return version >= 4; }

    // Writes the 56 bytes of a version 6 header (the `version` field is
    // ignored: the writer only produces the current version).
    static Status write(const Header& header, FileWriter& writer);
    // Reads the header of the file's own version. Fails with the reader's
    // error, InvalidFormat "bad magic bytes" or UnsupportedVersion.
    static Result<Header> read(ByteReader& reader);

    bool operator==(const Header&) const = default;
};

}  // namespace kivo::io
