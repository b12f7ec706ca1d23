// The .kivo header described once, as a table of fields that both the
// writer and the reader walk.
#include "io/format.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "config.h"

namespace kivo::io {

namespace {

// Moves a member between the Header and the unsigned integer a field holds.
template <auto Member>
uint64_t get_member(const Header& header) {
    return static_cast<uint64_t>(header.*Member);
}
template <auto Member>
void set_member(Header& header, uint64_t value) {
    using T = std::remove_reference_t<decltype(header.*Member)>;
    header.*Member = static_cast<T>(value);
}

// One field of the fixed header: `width` little-endian bytes at `offset`,
// read from files of version `since` on. get/set are null for the bytes the
// reader and writer handle themselves (magic, version) and for reserved
// bytes, which are written as zero and never read.
struct HeaderField {
    std::string_view name;
    std::size_t offset;
    std::size_t width;
    uint32_t since;
    uint64_t (*get)(const Header&);
    void (*set)(Header&, uint64_t);
};

// The whole header, in file order.
constexpr HeaderField kHeaderFields[] = {
    {"magic", 0, 4, 1, nullptr, nullptr},
    {"version", 4, 4, 1, nullptr, nullptr},
    {"dim", 8, 4, 1, get_member<&Header::dim>, set_member<&Header::dim>},
    {"metric", 12, 1, 1, get_member<&Header::metric>, set_member<&Header::metric>},
    {"bit_width", 13, 1, 1, get_member<&Header::bit_width>, set_member<&Header::bit_width>},
    {"index_type", 14, 1, 1, get_member<&Header::index_type>, set_member<&Header::index_type>},
    {"reserved", 15, 1, 1, nullptr, nullptr},
    {"n_vectors", 16, 8, 1, get_member<&Header::n_vectors>, set_member<&Header::n_vectors>},
    {"seed", 24, 8, 1, get_member<&Header::seed>, set_member<&Header::seed>},
    {"n4_dims", 32, 4, 3, get_member<&Header::n4_dims>, set_member<&Header::n4_dims>},
    {"reserved", 36, 4, 3, nullptr, nullptr},
    {"ivf_nlist", 40, 4, 4, get_member<&Header::ivf_nlist>, set_member<&Header::ivf_nlist>},
    {"ivf_nprobe", 44, 4, 4, get_member<&Header::ivf_nprobe>, set_member<&Header::ivf_nprobe>},
    {"hnsw_m", 48, 2, 4, get_member<&Header::hnsw_m>, set_member<&Header::hnsw_m>},
    {"hnsw_ef_construction", 50, 2, 4, get_member<&Header::hnsw_ef_construction>,
     set_member<&Header::hnsw_ef_construction>},
    {"hnsw_ef_search", 52, 2, 4, get_member<&Header::hnsw_ef_search>, set_member<&Header::hnsw_ef_search>},
    // Versions 4 and 5 wrote this byte without meaning it: read from 6 on.
    {"has_std_params", 54, 1, 6, get_member<&Header::has_std_params>, set_member<&Header::has_std_params>},
    {"reserved", 55, 1, 4, nullptr, nullptr},
};

constexpr std::size_t kHeaderBytes = 56;

// Every byte belongs to exactly one field, in order, up to the last byte.
constexpr bool fields_tile_the_header() {
    std::size_t next = 0;
    for (const HeaderField& field : kHeaderFields) {
        if (field.offset != next || field.width == 0 || field.width > 8) return false;
        next = field.offset + field.width;
    }
    return next == kHeaderBytes;
}
static_assert(fields_tile_the_header(), "the header fields must cover bytes 0 to 56 in order");

// Evaluated at compile time only: an unknown name fails the build.
consteval const HeaderField& field_named(std::string_view name) {
    for (const HeaderField& field : kHeaderFields) {
        if (field.name == name) return field;
    }
    throw "no such header field";
}
constexpr const HeaderField& kMagicField = field_named("magic");
constexpr const HeaderField& kVersionField = field_named("version");

// The bytes a file of `version` holds: up to the end of its last field.
constexpr std::size_t bytes_for_version(uint32_t version) {
    std::size_t end = 0;
    for (const HeaderField& field : kHeaderFields) {
        if (field.since <= version && field.offset + field.width > end) end = field.offset + field.width;
    }
    return end;
}
static_assert(bytes_for_version(kCurrentVersion) == kHeaderBytes);

void put_le(uint8_t* out, uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, std::size_t width) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= uint64_t{in[i]} << (8 * i);
    return value;
}

}  // namespace

std::size_t Header::size_for_version(uint32_t version) { return bytes_for_version(version); }

Status Header::write(const Header& header, FileWriter& writer) {
    if (header.n4_dims > std::numeric_limits<uint32_t>::max()) {
        return std::unexpected(KivoError::io_text("n4_dims " + std::to_string(header.n4_dims) +
                                                  " does not fit the file's 32-bit field"));
    }
    std::array<uint8_t, kHeaderBytes> bytes{};
    std::memcpy(bytes.data() + kMagicField.offset, kMagic.data(), kMagic.size());
    put_le(bytes.data() + kVersionField.offset, kCurrentVersion, kVersionField.width);
    for (const HeaderField& field : kHeaderFields) {
        if (field.get != nullptr) put_le(bytes.data() + field.offset, field.get(header), field.width);
    }
    return writer.write(bytes);
}

Result<Header> Header::read(ByteReader& reader) {
    std::array<uint8_t, kHeaderBytes> bytes{};
    std::span<uint8_t> magic(bytes.data() + kMagicField.offset, kMagicField.width);
    if (auto ok = reader.read_exact(magic); !ok) return std::unexpected(ok.error());
    if (!std::equal(magic.begin(), magic.end(), kMagic.begin())) {
        return std::unexpected(KivoError::invalid_format("bad magic bytes"));
    }

    Header header;
    auto version = reader.read_u32();
    if (!version) return std::unexpected(version.error());
    if (*version < kOldestVersion || *version > kCurrentVersion) {
        return std::unexpected(KivoError::unsupported_version(*version));
    }
    header.version = *version;

    // The rest of this version's header in one read, then field by field.
    const std::size_t body = kVersionField.offset + kVersionField.width;
    std::span<uint8_t> rest(bytes.data() + body, size_for_version(header.version) - body);
    if (auto ok = reader.read_exact(rest); !ok) return std::unexpected(ok.error());
    for (const HeaderField& field : kHeaderFields) {
        if (field.set != nullptr && field.since <= header.version) {
            field.set(header, get_le(bytes.data() + field.offset, field.width));
        }
    }

    if (header.version <= 2) {
        // Pure modes only before version 3. A 32-bit dim always has a padded
        // dimension.
        const uint64_t padded = vocab::padded_dim_for(header.dim).value_or(1);
        header.n4_dims = header.bit_width == 4 ? padded : 0;
    }
    return header;
}

}  // namespace kivo::io
