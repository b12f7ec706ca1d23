// Byte sources and sinks of the index file: a buffered reader over a file
// descriptor, a reader over bytes in memory, and a buffered writer that
// replaces its target atomically and durably (8192-byte buffers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "interrupt.h"

namespace kivo::io {

inline constexpr std::size_t kBufferSize = 8192;
// Readers and writers ask their InterruptCheck once per this many bytes
// moved (well under a millisecond of copying from or to the page cache).
inline constexpr uint64_t kInterruptPollBytes = uint64_t{1} << 20;

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
// buffer go straight into the destination. Everything is copied with read(2)
// into memory the caller owns, so a file that shrinks or is rewritten while
// it is read gives an error ("failed to fill whole buffer") or different
// bytes, never a fault (a memory map of it would raise SIGBUS).
class FileReader final : public ByteReader {
public:
    // Opens read-only. A path with a NUL byte, an open failure or a file that
    // is not a regular file (its length must be known) fails with Io. Reads
    // ask `interrupt` once per kInterruptPollBytes and fail with Interrupted
    // when it answers true.
    static Result<FileReader> open(const std::string& path, const InterruptCheck& interrupt = {});

    FileReader(FileReader&& other) noexcept;
    FileReader& operator=(FileReader&&) = delete;
    FileReader(const FileReader&) = delete;
    ~FileReader() override;

    uint64_t file_size() const { return size_; }

protected:
    Status read_slow(std::span<uint8_t> out) override;
    uint64_t remaining_beyond_window() const override;

private:
    FileReader(int fd, uint64_t size, const InterruptCheck& interrupt);

    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t consumed_ = 0;  // bytes taken from the descriptor so far
    uint64_t next_poll_ = kInterruptPollBytes;  // consumed_ at which to ask next
    InterruptCheck interrupt_;
    std::vector<uint8_t> buffer_;
};

// Failures the writer can be told to meet, for tests of what a failed save
// leaves behind: the disk filling up after some bytes, fsync failing, rename
// failing. A default-constructed value injects nothing.
struct WriteFaults {
    std::optional<uint64_t> fail_after_bytes = std::nullopt;  // ENOSPC once this many bytes are written
    bool fail_at_fsync = false;                // EIO from fsync of the new file
    bool fail_at_rename = false;               // EIO instead of the rename
};

// Writes a new version of a file through an 8192-byte buffer so that the
// target is always either its old content or the complete new one:
//   - the bytes go to a new temporary file in the target's directory
//     (".<name>.tmp-<pid>-<n>", created with permission bits 0666 before the
//     file-creation mask, or with the old file's permission bits when one
//     exists);
//   - commit() flushes and fsyncs it, renames it over the target and fsyncs
//     the directory;
//   - a failure anywhere, an interrupt, or a writer dropped without commit()
//     removes the temporary file and leaves the old file untouched.
// A symbolic link as target is followed: the file it names is replaced. A
// hard link of the old file keeps the old content, and the new file belongs
// to the writing user. A target that cannot be replaced by a rename (a
// device such as /dev/null, a FIFO, a /proc/self/fd link to an unlinked
// file) is opened and written in place, without these guarantees.
class FileWriter {
public:
    // Starts the new file. Fails with Io (a path with a NUL byte, a missing
    // directory, no permission to create a file in it). Writes ask
    // `interrupt` once per kInterruptPollBytes, and commit() once more before
    // the rename; an answer of true fails with Interrupted.
    static Result<FileWriter> create(const std::string& path, const InterruptCheck& interrupt = {},
                                     const WriteFaults& faults = {});

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

    // Puts the new file in place (see the class comment). After a failure
    // the temporary file is gone and the target is as it was.
    Status commit();

    // The temporary file's path; empty when writing in place.
    const std::string& temporary_path() const { return temp_path_; }

private:
    FileWriter(int fd, std::string temp_path, std::string target_path, const InterruptCheck& interrupt,
               const WriteFaults& faults);
    Status flush_buffer();
    Status write_fd(const uint8_t* data, std::size_t size);
    // Closes the descriptor and removes the temporary file (after a failure).
    void discard();

    int fd_ = -1;
    std::string temp_path_;    // empty: writing the target in place
    std::string target_path_;  // the file that commit() replaces
    InterruptCheck interrupt_;
    WriteFaults faults_;
    uint64_t written_ = 0;  // bytes handed to the descriptor so far
    uint64_t next_poll_ = kInterruptPollBytes;
    std::vector<uint8_t> buffer_;
    std::size_t used_ = 0;
};

}  // namespace kivo::io
