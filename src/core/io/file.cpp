// Buffered file reader and writer over POSIX descriptors (EINTR and short
// transfers handled), the in-memory reader, and the writer's temporary file,
// fsync and rename.
#include "io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "large_buffer.h"

namespace kivo::io {

namespace {

// One read(2) or write(2) moves at most this much; Linux caps a transfer
// just below 2 GiB anyway.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

Result<int> open_fd(const std::string& path, int flags, mode_t mode = 0) {
    if (auto ok = check_path(path); !ok) return std::unexpected(ok.error());
    for (;;) {
        const int fd = ::open(path.c_str(), flags, mode);
        if (fd >= 0) return fd;
        if (errno != EINTR) return std::unexpected(KivoError::io_os(errno));
    }
}

void close_quietly(int fd) {
    if (fd >= 0) ::close(fd);
}

template <class T>
T from_le(T value) {
    if constexpr (std::endian::native == std::endian::big) return std::byteswap(value);
    return value;
}

template <class T>
void store_le(uint8_t* out, T value) {
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    std::memcpy(out, &value, sizeof value);
}

// Reads little-endian integers of type T into a new array.
template <class T>
Result<std::vector<T>> read_le_array(ByteReader& reader, uint64_t count) {
    if (count > std::numeric_limits<uint64_t>::max() / sizeof(T)) {
        return std::unexpected(KivoError::io_unexpected_eof());
    }
    if (auto ok = reader.require(count * sizeof(T)); !ok) return std::unexpected(ok.error());
    std::vector<T> values(static_cast<std::size_t>(count));
    auto bytes = std::as_writable_bytes(std::span(values));
    if (auto ok = reader.read_exact({reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()}); !ok) {
        return std::unexpected(ok.error());
    }
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& value : values) value = std::byteswap(value);
    }
    return values;
}

}  // namespace

Status check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(KivoError::io_text("file name contained an unexpected NUL byte"));
    }
    return {};
}

// ---- ByteReader ---------------------------------------------------------------

Status ByteReader::require(uint64_t bytes) const {
    if (bytes > remaining()) return std::unexpected(KivoError::io_unexpected_eof());
    return {};
}

Result<uint8_t> ByteReader::read_u8() {
    uint8_t value = 0;
    if (auto ok = read_exact({&value, 1}); !ok) return std::unexpected(ok.error());
    return value;
}

Result<uint16_t> ByteReader::read_u16() {
    uint16_t value = 0;
    if (auto ok = read_exact({reinterpret_cast<uint8_t*>(&value), sizeof value}); !ok) {
        return std::unexpected(ok.error());
    }
    return from_le(value);
}

Result<uint32_t> ByteReader::read_u32() {
    uint32_t value = 0;
    if (auto ok = read_exact({reinterpret_cast<uint8_t*>(&value), sizeof value}); !ok) {
        return std::unexpected(ok.error());
    }
    return from_le(value);
}

Result<uint64_t> ByteReader::read_u64() {
    uint64_t value = 0;
    if (auto ok = read_exact({reinterpret_cast<uint8_t*>(&value), sizeof value}); !ok) {
        return std::unexpected(ok.error());
    }
    return from_le(value);
}

Result<float> ByteReader::read_f32() {
    auto bits = read_u32();
    if (!bits) return std::unexpected(bits.error());
    return std::bit_cast<float>(*bits);
}

Result<std::vector<uint8_t>> ByteReader::read_bytes(uint64_t count) {
    // Bytes already in the window (all of an in-memory source) are copied
    // once, without zero-filling the new array first.
    if (count <= static_cast<uint64_t>(end_ - cur_)) {
        std::vector<uint8_t> bytes;
        reserve_large(bytes, static_cast<std::size_t>(count));
        bytes.insert(bytes.end(), cur_, cur_ + count);
        cur_ += count;
        return bytes;
    }
    if (auto ok = require(count); !ok) return std::unexpected(ok.error());
    // A large block (the codes of a whole index) goes through a cache-sized
    // bounce buffer and is appended to reserved room: one pass over the new
    // memory instead of zero-filling it and then reading into it.
    constexpr std::size_t kChunk = std::size_t{256} << 10;
    std::vector<uint8_t> bytes;
    reserve_large(bytes, static_cast<std::size_t>(count));
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    while (bytes.size() < count) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kChunk, count - bytes.size()));
        if (auto ok = read_exact({chunk.get(), n}); !ok) return std::unexpected(ok.error());
        bytes.insert(bytes.end(), chunk.get(), chunk.get() + n);
    }
    return bytes;
}

Result<std::vector<uint64_t>> ByteReader::read_u64_array(uint64_t count) {
    return read_le_array<uint64_t>(*this, count);
}

Result<std::vector<float>> ByteReader::read_f32_array(uint64_t count) {
    auto bits = read_le_array<uint32_t>(*this, count);
    if (!bits) return std::unexpected(bits.error());
    std::vector<float> values(bits->size());
    if (!values.empty()) std::memcpy(values.data(), bits->data(), values.size() * sizeof(float));
    return values;
}

// ---- SpanReader ---------------------------------------------------------------

SpanReader::SpanReader(std::span<const uint8_t> bytes) {
    cur_ = bytes.data();
    end_ = bytes.data() + bytes.size();
}

Status SpanReader::read_slow(std::span<uint8_t> out) {
    // The window is the whole region: a read that did not fit cannot be met.
    (void)out;
    cur_ = end_;
    return std::unexpected(KivoError::io_unexpected_eof());
}

// ---- FileReader ---------------------------------------------------------------

FileReader::FileReader(int fd, uint64_t size, const InterruptCheck& interrupt)
    : fd_(fd), size_(size), interrupt_(interrupt), buffer_(kBufferSize) {
    cur_ = buffer_.data();
    end_ = buffer_.data();
}

FileReader::FileReader(FileReader&& other) noexcept
    : ByteReader(other),
      fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      consumed_(other.consumed_),
      next_poll_(other.next_poll_),
      interrupt_(other.interrupt_),
      buffer_(std::move(other.buffer_)) {
    // The window points into the buffer, whose storage moved with it.
    other.cur_ = other.end_ = nullptr;
}

FileReader::~FileReader() { close_quietly(fd_); }

// Every count in a file is checked against the bytes that follow it, which
// needs a length known in advance: only regular files are read.
static Status check_regular(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return {};
    // A directory reports what reading it would report.
    if (S_ISDIR(st.st_mode)) return std::unexpected(KivoError::io_os(EISDIR));
    return std::unexpected(KivoError::io_text("not a regular file"));
}

struct OpenedFile {
    int fd;
    uint64_t length;
};

// Opens a regular file for reading and takes its length. The open does not
// block on a FIFO that has no writer; anything but a regular file is refused
// before a byte is read, and reads of a regular file never block anyway.
static Result<OpenedFile> open_regular_for_reading(const std::string& path) {
    auto fd = open_fd(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (!fd) return std::unexpected(fd.error());
    const int flags = ::fcntl(*fd, F_GETFL);
    if (flags >= 0) ::fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK);
    struct stat st {};
    if (::fstat(*fd, &st) != 0) {
        const int error = errno;
        close_quietly(*fd);
        return std::unexpected(KivoError::io_os(error));
    }
    if (auto ok = check_regular(st); !ok) {
        close_quietly(*fd);
        return std::unexpected(ok.error());
    }
    return OpenedFile{*fd, static_cast<uint64_t>(st.st_size)};
}

Result<FileReader> FileReader::open(const std::string& path, const InterruptCheck& interrupt) {
    auto file = open_regular_for_reading(path);
    if (!file) return std::unexpected(file.error());
    return FileReader(file->fd, file->length, interrupt);
}

uint64_t FileReader::remaining_beyond_window() const { return size_ > consumed_ ? size_ - consumed_ : 0; }

Status FileReader::read_slow(std::span<uint8_t> out) {
    std::size_t done = static_cast<std::size_t>(end_ - cur_);
    if (done > 0) std::memcpy(out.data(), cur_, done);
    cur_ = end_ = buffer_.data();
    while (done < out.size()) {
        if (consumed_ >= next_poll_) {
            next_poll_ = consumed_ + kInterruptPollBytes;
            if (interrupt_.requested()) return std::unexpected(KivoError::interrupted());
        }
        const std::size_t want = out.size() - done;
        // Large requests bypass the buffer (in pieces of one poll interval);
        // small ones refill it.
        const bool direct = want >= buffer_.size();
        uint8_t* target = direct ? out.data() + done : buffer_.data();
        const std::size_t ask =
            direct ? std::min<std::size_t>(want, kInterruptPollBytes) : buffer_.size();
        const ssize_t got = ::read(fd_, target, ask);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(KivoError::io_os(errno));
        }
        if (got == 0) return std::unexpected(KivoError::io_unexpected_eof());
        consumed_ += static_cast<uint64_t>(got);
        if (direct) {
            done += static_cast<std::size_t>(got);
        } else {
            const std::size_t take = std::min(want, static_cast<std::size_t>(got));
            std::memcpy(out.data() + done, buffer_.data(), take);
            done += take;
            cur_ = buffer_.data() + take;
            end_ = buffer_.data() + got;
        }
    }
    return {};
}

// ---- FileWriter ---------------------------------------------------------------

namespace {

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a save replaces: a symbolic link is followed to the file it
// names, so that the link stays and its target gets the new content. A
// dangling link is replaced itself. nullopt: a link that names no path
// (such as /proc/self/fd/N of an unlinked file), which cannot be replaced.
std::optional<std::string> resolve_target(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        if (::stat(path.c_str(), &st) == 0) return std::nullopt;
        return path;
    }
    std::string target(resolved);
    std::free(resolved);
    return target;
}

// A fresh name next to the target; O_EXCL makes a clash retry, never reuse.
Result<std::pair<int, std::string>> create_temporary(const std::string& target, mode_t mode) {
    const std::string stem = directory_of(target) + "/." + name_of(target) + ".tmp-" + std::to_string(::getpid()) + "-";
    uint64_t salt = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        salt = salt * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::string name = stem + std::to_string(salt >> 40);
        auto fd = open_fd(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd) return std::pair{*fd, name};
        if (fd.error().os_error() != EEXIST) return std::unexpected(fd.error());
    }
    return std::unexpected(KivoError::io_os(EEXIST));
}

Status fsync_fd(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return std::unexpected(KivoError::io_os(errno));
    }
    return {};
}

// Makes the rename itself durable. File systems that cannot sync a
// directory say EINVAL; there is nothing more to do on those.
Status fsync_directory(const std::string& dir) {
    auto fd = open_fd(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!fd) return std::unexpected(fd.error());
    Status synced = fsync_fd(*fd);
    close_quietly(*fd);
    if (!synced && synced.error().os_error() == EINVAL) return {};
    return synced;
}

}  // namespace

FileWriter::FileWriter(int fd, std::string temp_path, std::string target_path, const InterruptCheck& interrupt,
                       const WriteFaults& faults)
    : fd_(fd),
      temp_path_(std::move(temp_path)),
      target_path_(std::move(target_path)),
      interrupt_(interrupt),
      faults_(faults),
      buffer_(kBufferSize) {}

FileWriter::FileWriter(FileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      temp_path_(std::exchange(other.temp_path_, {})),
      target_path_(std::move(other.target_path_)),
      interrupt_(other.interrupt_),
      faults_(other.faults_),
      written_(other.written_),
      next_poll_(other.next_poll_),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)) {}

FileWriter::~FileWriter() { discard(); }

void FileWriter::discard() {
    close_quietly(std::exchange(fd_, -1));
    if (!temp_path_.empty()) ::unlink(std::exchange(temp_path_, {}).c_str());
}

Result<FileWriter> FileWriter::create(const std::string& path, const InterruptCheck& interrupt,
                                      const WriteFaults& faults) {
    if (auto ok = check_path(path); !ok) return std::unexpected(ok.error());
    const std::optional<std::string> resolved = resolve_target(path);
    const std::string target = resolved.value_or(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (!resolved || (exists && !S_ISREG(st.st_mode))) {
        // Not a file that a rename may replace (a device, a FIFO, a file
        // known only by a /proc link): written in place as before. A
        // directory fails here with EISDIR.
        auto fd = open_fd(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (!fd) return std::unexpected(fd.error());
        return FileWriter(*fd, {}, target, interrupt, faults);
    }
    auto temp = create_temporary(target, 0666);
    if (!temp) return std::unexpected(temp.error());
    FileWriter writer(temp->first, std::move(temp->second), target, interrupt, faults);
    // The new file keeps the permission bits of the one it replaces.
    if (exists && ::fchmod(writer.fd_, st.st_mode & 07777) != 0) return std::unexpected(KivoError::io_os(errno));
    return writer;
}

Status FileWriter::write_fd(const uint8_t* data, std::size_t size) {
    while (size > 0) {
        if (written_ >= next_poll_) {
            next_poll_ = written_ + kInterruptPollBytes;
            if (interrupt_.requested()) return std::unexpected(KivoError::interrupted());
        }
        std::size_t ask = std::min<std::size_t>(size, kInterruptPollBytes);
        if (faults_.fail_after_bytes) {
            const uint64_t room = *faults_.fail_after_bytes > written_ ? *faults_.fail_after_bytes - written_ : 0;
            if (room == 0) return std::unexpected(KivoError::io_os(ENOSPC));
            ask = static_cast<std::size_t>(std::min<uint64_t>(ask, room));
        }
        const ssize_t put = ::write(fd_, data, ask);
        if (put < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(KivoError::io_os(errno));
        }
        if (put == 0) return std::unexpected(KivoError::io_write_zero());
        data += put;
        size -= static_cast<std::size_t>(put);
        written_ += static_cast<uint64_t>(put);
    }
    return {};
}

Status FileWriter::flush_buffer() {
    const std::size_t used = std::exchange(used_, 0);
    return write_fd(buffer_.data(), used);
}

Status FileWriter::write(std::span<const uint8_t> bytes) {
    if (bytes.size() <= buffer_.size() - used_) {
        if (!bytes.empty()) std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return {};
    }
    if (auto ok = flush_buffer(); !ok) return ok;
    if (bytes.size() >= buffer_.size()) return write_fd(bytes.data(), bytes.size());
    std::memcpy(buffer_.data(), bytes.data(), bytes.size());
    used_ = bytes.size();
    return {};
}

Status FileWriter::write_u8(uint8_t value) { return write({&value, 1}); }

Status FileWriter::write_u16(uint16_t value) {
    uint8_t bytes[sizeof value];
    store_le(bytes, value);
    return write(bytes);
}

Status FileWriter::write_u32(uint32_t value) {
    uint8_t bytes[sizeof value];
    store_le(bytes, value);
    return write(bytes);
}

Status FileWriter::write_u64(uint64_t value) {
    uint8_t bytes[sizeof value];
    store_le(bytes, value);
    return write(bytes);
}

Status FileWriter::write_f32(float value) { return write_u32(std::bit_cast<uint32_t>(value)); }

Status FileWriter::write_u64_array(std::span<const uint64_t> values) {
    if constexpr (std::endian::native == std::endian::little) {
        auto bytes = std::as_bytes(values);
        return write({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    }
    for (uint64_t value : values) {
        if (auto ok = write_u64(value); !ok) return ok;
    }
    return {};
}

Status FileWriter::write_f32_array(std::span<const float> values) {
    if constexpr (std::endian::native == std::endian::little) {
        auto bytes = std::as_bytes(values);
        return write({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    }
    for (float value : values) {
        if (auto ok = write_f32(value); !ok) return ok;
    }
    return {};
}

Status FileWriter::commit() {
    // Any early return leaves the rest to discard(): the temporary file is
    // removed and the target was never touched.
    auto fail = [this](const KivoError& error) {
        discard();
        return std::unexpected(error);
    };
    if (fd_ < 0) return fail(KivoError::io_text("the file was already committed or discarded"));
    if (auto ok = flush_buffer(); !ok) return fail(ok.error());
    const bool in_place = temp_path_.empty();
    if (!in_place) {
        if (faults_.fail_at_fsync) return fail(KivoError::io_os(EIO));
        if (auto ok = fsync_fd(fd_); !ok) return fail(ok.error());
    }
    // The descriptor is released even when close reports an error (EINTR
    // included), so it is never closed twice; the error still counts.
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return fail(KivoError::io_os(errno));
    if (in_place) return {};
    // Last chance to stop: after the rename the new file is the target.
    if (interrupt_.requested()) return fail(KivoError::interrupted());
    if (faults_.fail_at_rename) return fail(KivoError::io_os(EIO));
    if (::rename(temp_path_.c_str(), target_path_.c_str()) != 0) return fail(KivoError::io_os(errno));
    temp_path_.clear();
    return fsync_directory(directory_of(target_path_));
}

}  // namespace kivo::io
