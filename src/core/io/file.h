// Byte sources and sinks of the index file: a buffered writer and reader over
// file descriptors (8192-byte buffers), a reader over bytes in memory, and a
// read-only memory map of a whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "error.h"

namespace kivo::io {

inline constexpr std::size_t kBufferSize = 8192;

// Refuses a path that holds a NUL byte: the operating system would see a
// different, shorter name.
Status check_path(const std::string& path);

// A sequential source of bytes that knows how many bytes remain, so that a
// loader can check a count against the bytes that are there before it
// allocates anything for it. Small reads are served from a window of bytes
// (the buffer of a file, or the whole of a memory region); only a window that
// runs dry costs a virtual call.
class ByteReader {
public:
    virtual ~ByteReader() = default;

    // Fills all of `out` or fails: Io "failed to fill whole buffer" when the
    // source ends first, or the operating system's error.
    Status read_exact(std::span<uint8_t> out) {
        if (out.size() <= static_cast<std::size_t>(end_ - cur_)) {
            if (!out.empty()) {
                std::memcpy(out.data(), cur_, out.size());
                cur_ += out.size();
            }
            return {};
        }
        return read_slow(out);
    }

    // Bytes between the current position and the end of the source.
    uint64_t remaining() const { return static_cast<uint64_t>(end_ - cur_) + remaining_beyond_window(); }

    // Io "failed to fill whole buffer" unless at least `bytes` remain.
    Status require(uint64_t bytes) const;

    Result<uint8_t> read_u8();
    Result<uint16_t> read_u16();
    Result<uint32_t> read_u32();
    Result<uint64_t> read_u64();
    Result<float> read_f32();

    // Arrays of little-endian values, read in one piece. The count is checked
    // against the remaining bytes before the array is allocated.
    Result<std::vector<uint8_t>> read_bytes(uint64_t count);
    Result<std::vector<uint64_t>> read_u64_array(uint64_t count);
    Result<std::vector<float>> read_f32_array(uint64_t count);

protected:
    const uint8_t* cur_ = nullptr;
    const uint8_t* end_ = nullptr;

    virtual Status read_slow(std::span<uint8_t> out) = 0;
    virtual uint64_t remaining_beyond_window() const = 0;
};

// Reads bytes that are already in memory (a mapped file).
class SpanReader final : public ByteReader {
public:
    explicit SpanReader(std::span<const uint8_t> bytes);

protected:
    Status read_slow(std::span<uint8_t> out) override;
    uint64_t remaining_beyond_window() const override { return 0; }
};

// Reads a regular file through an 8192-byte buffer; reads larger than the
// buffer go straight into the destination.
class FileReader final : public ByteReader {
public:
    // Opens read-only. A path with a NUL byte, an open failure or a file that
    // is not a regular file (its length must be known) fails with Io.
    static Result<FileReader> open(const std::string& path);

    FileReader(FileReader&& other) noexcept;
    FileReader& operator=(FileReader&&) = delete;
    FileReader(const FileReader&) = delete;
    ~FileReader() override;

    uint64_t file_size() const { return size_; }

protected:
    Status read_slow(std::span<uint8_t> out) override;
    uint64_t remaining_beyond_window() const override;

private:
    FileReader(int fd, uint64_t size);

    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t consumed_ = 0;  // bytes taken from the descriptor so far
    std::vector<uint8_t> buffer_;
};

// Writes a file through an 8192-byte buffer. finish() writes what is left and
// closes the file, reporting a failure of either; a writer dropped without
// finish() closes the file and discards the buffered bytes.
class FileWriter {
public:
    // Creates or truncates the file with permission bits 0666 before the
    // process's file-creation mask.
    static Result<FileWriter> create(const std::string& path);

    FileWriter(FileWriter&& other) noexcept;
    FileWriter& operator=(FileWriter&&) = delete;
    FileWriter(const FileWriter&) = delete;
    ~FileWriter();

    Status write(std::span<const uint8_t> bytes);
    Status write_u8(uint8_t value);
    Status write_u16(uint16_t value);
    Status write_u32(uint32_t value);
    Status write_u64(uint64_t value);
    Status write_f32(float value);
    Status write_u64_array(std::span<const uint64_t> values);
    Status write_f32_array(std::span<const float> values);

    Status finish();

private:
    explicit FileWriter(int fd);
    Status flush_buffer();
    Status write_fd(const uint8_t* data, std::size_t size);

    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    std::size_t used_ = 0;
};

// A read-only shared mapping of a whole file, released on destruction. The
// descriptor is closed as soon as the mapping exists.
class MappedFile {
public:
    static Result<MappedFile> open(const std::string& path);

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const uint8_t> bytes() const { return {data_, size_}; }

private:
    MappedFile(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Checks the length of a file to be mapped: one above the largest signed
// 64-bit value fails with Io "memory map length overflows isize".
Status check_map_length(uint64_t length);

}  // namespace kivo::io
