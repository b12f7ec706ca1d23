// IvfFlat::read_data: the IVF section of an index file, read into lists.
#include <limits>

#include "io/file.h"
#include "search/ivf.h"

namespace kivo::search {

namespace {

// a * b when it fits in 64 bits. A product that does not fit can never be
// backed by a file, so callers treat "no value" as an early end.
std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

}  // namespace

Result<IvfFlat> IvfFlat::read_data(io::ByteReader& reader, uint64_t packed_bytes_per_vec, uint64_t nprobe,
                                   vocab::Metric metric) {
    auto unexpected = [](const KivoError& error) { return std::unexpected(error); };
    auto eof = [] { return std::unexpected(KivoError::io_unexpected_eof()); };

    auto n_lists = reader.read_u32();
    if (!n_lists) return unexpected(n_lists.error());
    auto centroid_len = reader.read_u32();
    if (!centroid_len) return unexpected(centroid_len.error());

    // Each list record holds at least its centroid and its member count.
    const auto list_min = checked_mul(*centroid_len, 4);
    const auto lists_min = checked_mul(*n_lists, *list_min + 4);
    if (!lists_min || *lists_min > reader.remaining()) return eof();
    const auto member_bytes = packed_bytes_per_vec + 12;  // id, code, norm

    IvfFlat index;
    index.packed_bytes_per_vec = packed_bytes_per_vec;
    index.nprobe = nprobe;
    index.metric = metric;
    index.dim = *n_lists > 0 ? *centroid_len : 0;
    index.lists.reserve(*n_lists);
    for (uint32_t l = 0; l < *n_lists; ++l) {
        IvfList list;
        auto centroid = reader.read_f32_array(*centroid_len);
        if (!centroid) return unexpected(centroid.error());
        list.centroid = std::move(*centroid);
        auto members = reader.read_u32();
        if (!members) return unexpected(members.error());
        const auto needed = checked_mul(*members, member_bytes);
        if (!needed || *needed > reader.remaining()) return eof();
        list.ids.reserve(*members);
        list.norms.reserve(*members);
        list.codes.resize(static_cast<std::size_t>(*members * packed_bytes_per_vec));
        for (uint32_t j = 0; j < *members; ++j) {
            auto id = reader.read_u64();
            if (!id) return unexpected(id.error());
            std::span<uint8_t> code(list.codes.data() + j * packed_bytes_per_vec, packed_bytes_per_vec);
            if (auto ok = reader.read_exact(code); !ok) return unexpected(ok.error());
            auto norm = reader.read_f32();
            if (!norm) return unexpected(norm.error());
            list.ids.push_back(*id);
            list.norms.push_back(*norm);
        }
        index.lists.push_back(std::move(list));
    }
    return index;
}

}  // namespace kivo::search
