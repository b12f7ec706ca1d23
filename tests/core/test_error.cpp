// Display texts and payloads of every KivoError variant.
#include <gtest/gtest.h>

#include <cerrno>

#include "error.h"

namespace kivo {
namespace {

struct MessageCase {
    KivoError error;
    ErrorKind kind;
    const char* text;
};

TEST(KivoError, DisplayTextsAndKindsInVariantOrder) {
    const MessageCase cases[] = {
        {KivoError::dimension_mismatch(8, 9), ErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 9"},
        {KivoError::invalid_bit_width(3), ErrorKind::InvalidBitWidth, "invalid bit width: 3 (must be 2 or 4)"},
        {KivoError::invalid_metric(3), ErrorKind::InvalidMetric, "invalid metric byte: 3"},
        {KivoError::empty_index(), ErrorKind::EmptyIndex, "index is empty"},
        {KivoError::id_count_mismatch(2, 1), ErrorKind::IdCountMismatch, "id/vector count mismatch: 2 ids vs 1 vectors"},
        {KivoError::io_unexpected_eof(), ErrorKind::Io, "io error: failed to fill whole buffer"},
        {KivoError::io_write_zero(), ErrorKind::Io, "io error: failed to write whole buffer"},
        {KivoError::invalid_format("bad magic bytes"), ErrorKind::InvalidFormat, "invalid .kivo file: bad magic bytes"},
        {KivoError::unsupported_version(7), ErrorKind::UnsupportedVersion, "unsupported file version: 7"},
        {KivoError::unsupported_index_type(5), ErrorKind::UnsupportedIndexType, "unsupported index type byte: 5"},
        {KivoError::not_implemented("Hnsw"), ErrorKind::NotImplemented,
         "index type 'Hnsw' is not yet implemented \xE2\x80\x94 use IndexType::BruteForce"},
        {KivoError::not_built(), ErrorKind::NotBuilt, "call build() before search() for IvfFlat indexes"},
        {KivoError::empty_sample(), ErrorKind::EmptySample,
         "sample is empty \xE2\x80\x94 provide at least 1 vector for profiling"},
        {KivoError::fit_after_add(), ErrorKind::FitAfterAdd,
         "fit() must be called before add() \xE2\x80\x94 index already contains vectors"},
        {KivoError::interrupted(), ErrorKind::Interrupted, "interrupted"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind) << c.text;
        EXPECT_EQ(c.error.message(), c.text);
    }
    EXPECT_EQ(static_cast<int>(ErrorKind::FitAfterAdd), 12);
    EXPECT_EQ(static_cast<int>(ErrorKind::Interrupted), 13);
}

TEST(KivoError, PayloadsAreAvailable) {
    const auto e = KivoError::dimension_mismatch(8, 9);
    EXPECT_EQ(e.first(), 8u);
    EXPECT_EQ(e.second(), 9u);
    EXPECT_EQ(KivoError::unsupported_version(0xFFFFFFFFu).message(), "unsupported file version: 4294967295");
    EXPECT_FALSE(KivoError::io_unexpected_eof().os_error().has_value());
}

TEST(KivoError, OsErrorsCarryTheSystemMessageAndNumber) {
    const auto e = KivoError::io_os(ENOENT);
    EXPECT_EQ(e.kind(), ErrorKind::Io);
    EXPECT_EQ(e.os_error(), ENOENT);
    EXPECT_EQ(e.message(), "io error: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kivo
