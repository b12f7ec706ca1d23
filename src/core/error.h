// KivoError: the one error type of the core library, with its fixed variant
// order, payloads and display texts, and the Result/Status aliases built on it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// Variant order is part of the contract (callers map by it).
enum class ErrorKind : uint8_t {
    DimensionMismatch = 0,
    InvalidBitWidth = 1,
    InvalidMetric = 2,
    EmptyIndex = 3,
    IdCountMismatch = 4,
    Io = 5,
    InvalidFormat = 6,
    UnsupportedVersion = 7,
    UnsupportedIndexType = 8,
    NotImplemented = 9,
    NotBuilt = 10,
    EmptySample = 11,
    FitAfterAdd = 12,
    Interrupted = 13,
};

class KivoError {
public:
    static KivoError dimension_mismatch(uint64_t expected, uint64_t got);
    static KivoError invalid_bit_width(uint8_t bit_width);
    static KivoError invalid_metric(uint8_t metric_byte);
    static KivoError empty_index();
    static KivoError id_count_mismatch(uint64_t ids, uint64_t vectors);
    // Operating-system failure: "<system message> (os error N)".
    static KivoError io_os(int os_error);
    // An I/O failure described by text alone (no error number).
    static KivoError io_text(std::string text);
    // A read that found the file ended early.
    static KivoError io_unexpected_eof();
    // A write that could not proceed.
    static KivoError io_write_zero();
    static KivoError invalid_format(std::string text);
    static KivoError unsupported_version(uint32_t version);
    static KivoError unsupported_index_type(uint8_t index_type_byte);
    static KivoError not_implemented(std::string_view index_type_name);
    static KivoError not_built();
    static KivoError empty_sample();
    static KivoError fit_after_add();
    // The caller's InterruptCheck asked a long operation to stop.
    static KivoError interrupted();

    ErrorKind kind() const { return kind_; }

    // Numeric payloads: (expected, got), (ids, vectors), or the single value
    // of InvalidBitWidth / InvalidMetric / UnsupportedVersion /
    // UnsupportedIndexType in `first`.
    uint64_t first() const { return first_; }
    uint64_t second() const { return second_; }
    // Text payload of Io, InvalidFormat and NotImplemented.
    const std::string& text() const { return text_; }
    // The operating-system error number of an Io error, when it has one.
    std::optional<int> os_error() const { return os_error_; }

    // The display text, e.g. "dimension mismatch: expected 8, got 9".
    std::string message() const;

    bool operator==(const KivoError&) const = default;

private:
    KivoError(ErrorKind kind, uint64_t first, uint64_t second, std::string text)
        : kind_(kind), first_(first), second_(second), text_(std::move(text)) {}

    ErrorKind kind_;
    uint64_t first_ = 0;
    uint64_t second_ = 0;
    std::string text_;
    std::optional<int> os_error_;
};

template <class T>
using Result = std::expected<T, KivoError>;
using Status = std::expected<void, KivoError>;

}  // namespace kivo
