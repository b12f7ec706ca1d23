// Portable first-pass dot products: the reference the vector variant is
// tested against, and the path on processors without AVX2.
#include "simd/prune.h"

namespace kivo::simd::portable {

namespace {

int32_t dot_4bit(const PruneImage& im, const uint8_t* code) {
    int32_t acc = 0;
    for (std::size_t i = 0; i < im.bytes4; ++i) {
        const uint8_t* chunk = im.image4 + (i / kChunkBytes) * kImage4Bytes;
        const std::size_t j = i % kChunkBytes;
        const uint8_t x = code[i] ^ chunk[j];
        acc += int32_t{chunk[kChunkBytes + j]} * im.table4[x & 15];
        acc += int32_t{chunk[2 * kChunkBytes + j]} * im.table4[x >> 4];
    }
    return acc;
}

int32_t dot_2bit(const PruneImage& im, const uint8_t* code) {
    int32_t acc = 0;
    for (std::size_t i = 0; i < im.bytes2; ++i) {
        const uint8_t* chunk = im.image2 + (i / kChunkBytes) * kImage2Bytes;
        const std::size_t j = i % kChunkBytes;
        const uint8_t x = code[i] ^ chunk[j];
        acc += int32_t{chunk[kChunkBytes + j]} * im.table2_lo[x & 15];
        acc += int32_t{chunk[2 * kChunkBytes + j]} * im.table2_hi[x & 15];
        acc += int32_t{chunk[3 * kChunkBytes + j]} * im.table2_lo[x >> 4];
        acc += int32_t{chunk[4 * kChunkBytes + j]} * im.table2_hi[x >> 4];
    }
    return acc;
}

int32_t signed_dot_4bit(const PruneGroup& g, const int8_t* image, const uint8_t* code) {
    int32_t acc = 0;
    for (std::size_t i = 0; i < g.bytes4; ++i) {
        const int8_t* chunk = image + (i / kChunkBytes) * kSignedImage4Bytes;
        const std::size_t j = i % kChunkBytes;
        acc += int32_t{chunk[j]} * g.table4[code[i] & 15];
        acc += int32_t{chunk[kChunkBytes + j]} * g.table4[code[i] >> 4];
    }
    return acc;
}

int32_t signed_dot_2bit(const PruneGroup& g, const int8_t* image, const uint8_t* code) {
    int32_t acc = 0;
    for (std::size_t i = 0; i < g.bytes2; ++i) {
        const int8_t* chunk = image + (i / kChunkBytes) * kSignedImage2Bytes;
        const std::size_t j = i % kChunkBytes;
        acc += int32_t{chunk[j]} * g.table2_lo[code[i] & 15];
        acc += int32_t{chunk[kChunkBytes + j]} * g.table2_hi[code[i] & 15];
        acc += int32_t{chunk[2 * kChunkBytes + j]} * g.table2_lo[code[i] >> 4];
        acc += int32_t{chunk[3 * kChunkBytes + j]} * g.table2_hi[code[i] >> 4];
    }
    return acc;
}

}  // namespace

void approx_dots_multi(const PruneGroup& group, const uint8_t* codes, std::size_t stride, std::size_t count,
                       int32_t* out4, int32_t* out2, std::size_t out_stride) {
    for (std::size_t j = 0; j < group.nq; ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            const uint8_t* code = codes + i * stride;
            out4[j * out_stride + i] = signed_dot_4bit(group, group.image4[j], code);
            out2[j * out_stride + i] = signed_dot_2bit(group, group.image2[j], code + group.bytes4);
        }
    }
}

void approx_dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                 int32_t* out4, int32_t* out2, std::size_t /*ahead*/) {
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* code = codes + i * stride;
        out4[i] = dot_4bit(image, code);
        out2[i] = dot_2bit(image, code + image.bytes4);
    }
}

void approx_dots_gather(const PruneImage& image, const uint8_t* const* codes, std::size_t count, int32_t* out4,
                        int32_t* out2) {
    for (std::size_t i = 0; i < count; ++i) {
        out4[i] = dot_4bit(image, codes[i]);
        out2[i] = dot_2bit(image, codes[i] + image.bytes4);
    }
}

}  // namespace kivo::simd::portable
