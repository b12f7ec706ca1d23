// Display texts and constructors of KivoError.
#include "error.h"

#include <cstring>
#include <string>

namespace kivo {

namespace {

std::string system_message(int os_error) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling buffer.
    const char* text = strerror_r(os_error, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error");
}

}  // namespace

KivoError KivoError::dimension_mismatch(uint64_t expected, uint64_t got) {
    return {ErrorKind::DimensionMismatch, expected, got, {}};
}
KivoError KivoError::invalid_bit_width(uint8_t bit_width) {
    return {ErrorKind::InvalidBitWidth, bit_width, 0, {}};
}
KivoError KivoError::invalid_metric(uint8_t metric_byte) {
    return {ErrorKind::InvalidMetric, metric_byte, 0, {}};
}
KivoError KivoError::empty_index() { return {ErrorKind::EmptyIndex, 0, 0, {}}; }
KivoError KivoError::id_count_mismatch(uint64_t ids, uint64_t vectors) {
    return {ErrorKind::IdCountMismatch, ids, vectors, {}};
}
KivoError KivoError::io_os(int os_error) {
    KivoError error{ErrorKind::Io, 0, 0,
                    system_message(os_error) + " (os error " + std::to_string(os_error) + ")"};
    error.os_error_ = os_error;
    return error;
}
KivoError KivoError::io_text(std::string text) { return {ErrorKind::Io, 0, 0, std::move(text)}; }
KivoError KivoError::io_unexpected_eof() { return io_text("failed to fill whole buffer"); }
KivoError KivoError::io_write_zero() { return io_text("failed to write whole buffer"); }
KivoError KivoError::invalid_format(std::string text) {
    return {ErrorKind::InvalidFormat, 0, 0, std::move(text)};
}
KivoError KivoError::unsupported_version(uint32_t version) {
    return {ErrorKind::UnsupportedVersion, version, 0, {}};
}
KivoError KivoError::unsupported_index_type(uint8_t index_type_byte) {
    return {ErrorKind::UnsupportedIndexType, index_type_byte, 0, {}};
}
KivoError KivoError::not_implemented(std::string_view index_type_name) {
    return {ErrorKind::NotImplemented, 0, 0, std::string(index_type_name)};
}
KivoError KivoError::not_built() { return {ErrorKind::NotBuilt, 0, 0, {}}; }
KivoError KivoError::empty_sample() { return {ErrorKind::EmptySample, 0, 0, {}}; }
KivoError KivoError::fit_after_add() { return {ErrorKind::FitAfterAdd, 0, 0, {}}; }
KivoError KivoError::interrupted() { return {ErrorKind::Interrupted, 0, 0, {}}; }

std::string KivoError::message() const {
    using std::to_string;
    switch (kind_) {
        case ErrorKind::DimensionMismatch:
            return "dimension mismatch: expected " + to_string(first_) + ", got " + to_string(second_);
        case ErrorKind::InvalidBitWidth:
            return "invalid bit width: " + to_string(first_) + " (must be 2 or 4)";
        case ErrorKind::InvalidMetric:
            return "invalid metric byte: " + to_string(first_);
        case ErrorKind::EmptyIndex:
            return "index is empty";
        case ErrorKind::IdCountMismatch:
            return "id/vector count mismatch: " + to_string(first_) + " ids vs " + to_string(second_) +
                   " vectors";
        case ErrorKind::Io:
            return "io error: " + text_;
        case ErrorKind::InvalidFormat:
            return "invalid .kivo file: " + text_;
        case ErrorKind::UnsupportedVersion:
            return "unsupported file version: " + to_string(first_);
        case ErrorKind::UnsupportedIndexType:
            return "unsupported index type byte: " + to_string(first_);
        case ErrorKind::NotImplemented:
            return "index type '" + text_ + "' is not yet implemented \u2014 use IndexType::BruteForce";
        case ErrorKind::NotBuilt:
            return "call build() before search() for IvfFlat indexes";
        case ErrorKind::EmptySample:
            return "sample is empty \u2014 provide at least 1 vector for profiling";
        case ErrorKind::FitAfterAdd:
            return "fit() must be called before add() \u2014 index already contains vectors";
        case ErrorKind::Interrupted:
            return "interrupted";
    }
    return "unknown error";
}

}  // namespace kivo
