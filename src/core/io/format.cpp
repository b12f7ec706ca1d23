// Reading and writing the .kivo header, field by field in file order.
#include "io/format.h"

#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "config.h"

namespace kivo::io {

namespace {

template <class T>
void put_le(uint8_t* out, T value) {
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    std::memcpy(out, &value, sizeof value);
}

}  // namespace

std::size_t Header::size_for_version(uint32_t version) {
    if (version <= 2) return 32;
    if (version == 3) return 40;
    return 56;
}

Status Header::write(const Header& header, FileWriter& writer) {
    if (header.n4_dims > std::numeric_limits<uint32_t>::max()) {
        return std::unexpected(KivoError::io_text("n4_dims " + std::to_string(header.n4_dims) +
                                                  " does not fit the file's 32-bit field"));
    }
    std::array<uint8_t, 56> bytes{};
    std::memcpy(bytes.data(), kMagic.data(), kMagic.size());
    put_le<uint32_t>(bytes.data() + 4, kCurrentVersion);
    put_le<uint32_t>(bytes.data() + 8, header.dim);
    bytes[12] = header.metric;
    bytes[13] = header.bit_width;
    bytes[14] = header.index_type;
    bytes[15] = 0;
    put_le<uint64_t>(bytes.data() + 16, header.n_vectors);
    put_le<uint64_t>(bytes.data() + 24, header.seed);
    put_le<uint32_t>(bytes.data() + 32, static_cast<uint32_t>(header.n4_dims));
    put_le<uint32_t>(bytes.data() + 36, 0);
    put_le<uint32_t>(bytes.data() + 40, header.ivf_nlist);
    put_le<uint32_t>(bytes.data() + 44, header.ivf_nprobe);
    put_le<uint16_t>(bytes.data() + 48, header.hnsw_m);
    put_le<uint16_t>(bytes.data() + 50, header.hnsw_ef_construction);
    put_le<uint16_t>(bytes.data() + 52, header.hnsw_ef_search);
    bytes[54] = header.has_std_params ? 1 : 0;
    bytes[55] = 0;
    return writer.write(bytes);
}

Result<Header> Header::read(ByteReader& reader) {
    std::array<uint8_t, 4> magic{};
    if (auto ok = reader.read_exact(magic); !ok) return std::unexpected(ok.error());
    if (magic != kMagic) return std::unexpected(KivoError::invalid_format("bad magic bytes"));

    Header header;
    auto version = reader.read_u32();
    if (!version) return std::unexpected(version.error());
    if (*version < kOldestVersion || *version > kCurrentVersion) {
        return std::unexpected(KivoError::unsupported_version(*version));
    }
    header.version = *version;

    // Offsets 8 to 31: dim, metric, bit width, index type, reserved,
    // n_vectors, seed.
    std::array<uint8_t, 24> common{};
    if (auto ok = reader.read_exact(common); !ok) return std::unexpected(ok.error());
    auto le32 = [](const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        return v;
    };
    auto le64 = [](const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        return v;
    };
    header.dim = le32(common.data());
    header.metric = common[4];
    header.bit_width = common[5];
    header.index_type = common[6];
    header.n_vectors = le64(common.data() + 8);
    header.seed = le64(common.data() + 16);

    if (header.version <= 2) {
        // Pure modes only before version 3. A 32-bit dim always has a padded
        // dimension.
        const uint64_t padded = vocab::padded_dim_for(header.dim).value_or(1);
        header.n4_dims = header.bit_width == 4 ? padded : 0;
        return header;
    }

    std::array<uint8_t, 8> v3{};
    if (auto ok = reader.read_exact(v3); !ok) return std::unexpected(ok.error());
    header.n4_dims = le32(v3.data());
    if (header.version == 3) return header;

    std::array<uint8_t, 16> v4{};
    if (auto ok = reader.read_exact(v4); !ok) return std::unexpected(ok.error());
    auto le16 = [](const uint8_t* p) {
        uint16_t v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        return v;
    };
    header.ivf_nlist = le32(v4.data());
    header.ivf_nprobe = le32(v4.data() + 4);
    header.hnsw_m = le16(v4.data() + 8);
    header.hnsw_ef_construction = le16(v4.data() + 10);
    header.hnsw_ef_search = le16(v4.data() + 12);
    // Versions 4 and 5 wrote this byte without meaning it.
    header.has_std_params = v4[14] != 0 && header.version >= 6;
    return header;
}

}  // namespace kivo::io
