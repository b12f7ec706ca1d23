// Tests of the file layer (buffered reader, atomic writer) and of the
// .kivo header codec for every version.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "io/file.h"
#include "io/format.h"
#include "persist_test_util.h"

namespace kivo::io {
namespace {

using kivo::testing::header_bytes;
using kivo::testing::HeaderFields;
using kivo::testing::PollAfter;
using kivo::testing::read_file;
using kivo::testing::ScratchDir;
using kivo::testing::write_file;

std::vector<uint8_t> pattern(std::size_t n) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

// ---- writer ----------------------------------------------------------------------

TEST(FileWriter, MixedSmallAndLargeWritesKeepTheirOrder) {
    ScratchDir dir;
    const std::string path = dir.file("w.bin");
    // Sizes chosen to straddle the 8192-byte buffer in every way: fits,
    // overflows a partly full buffer, larger than the buffer, exactly it.
    const std::vector<std::size_t> sizes = {1, 8191, 1, 8192, 3, 20000, 0, 8190, 5, 8192, 8192, 17};
    std::vector<uint8_t> expected;
    auto writer = FileWriter::create(path);
    ASSERT_TRUE(writer.has_value()) << writer.error().message();
    std::size_t seed = 0;
    for (std::size_t size : sizes) {
        auto chunk = pattern(size + seed);
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(seed));
        seed += 1;
        ASSERT_TRUE(writer->write(chunk).has_value());
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    ASSERT_TRUE(writer->write_u16(0xBEEF).has_value());
    ASSERT_TRUE(writer->write_u32(0x01020304).has_value());
    ASSERT_TRUE(writer->write_u64(0x1122334455667788ULL).has_value());
    ASSERT_TRUE(writer->write_f32(1.0f).has_value());
    for (uint8_t b : {0xEF, 0xBE, 0x04, 0x03, 0x02, 0x01, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00,
                      0x00, 0x80, 0x3F}) {
        expected.push_back(b);
    }
    ASSERT_TRUE(writer->commit().has_value());
    EXPECT_EQ(read_file(path), expected);
}

TEST(FileWriter, TruncatesAnExistingFile) {
    ScratchDir dir;
    const std::string path = dir.file("t.bin");
    write_file(path, pattern(100));
    auto writer = FileWriter::create(path);
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write_u8(42).has_value());
    ASSERT_TRUE(writer->commit().has_value());
    EXPECT_EQ(read_file(path), std::vector<uint8_t>{42});
}

TEST(FileWriter, CreatesWithMode0666BeforeTheUmask) {
    ScratchDir dir;
    for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
        const std::string path = dir.file("mode" + std::to_string(mask));
        const mode_t old = ::umask(mask);
        auto writer = FileWriter::create(path);
        ::umask(old);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->commit().has_value());
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "umask " << mask;
    }
}

// The last buffered bytes reach the file only at finish(): a device that
// refuses them must make finish() fail, not succeed.
TEST(FileWriter, FailureOfTheFinalFlushIsReported) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not available";
    auto writer = FileWriter::create("/dev/full");
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write(pattern(56)).has_value());  // buffered only
    auto done = writer->commit();
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().kind(), ErrorKind::Io);
    EXPECT_EQ(done.error().message(), "io error: No space left on device (os error 28)");

    auto big = FileWriter::create("/dev/full");
    ASSERT_TRUE(big.has_value());
    auto large = big->write(pattern(3 * kBufferSize));  // goes straight to the device
    ASSERT_FALSE(large.has_value());
    EXPECT_EQ(large.error().os_error(), 28);
}

TEST(FileWriter, PathErrors) {
    ScratchDir dir;
    auto nul = FileWriter::create(dir.file(std::string("a\0b", 3)));
    ASSERT_FALSE(nul.has_value());
    EXPECT_EQ(nul.error().message(), "io error: file name contained an unexpected NUL byte");
    // Nothing was created under the name cut at the NUL either.
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));

    auto missing_dir = FileWriter::create(dir.file("no/such/dir/x.kivo"));
    ASSERT_FALSE(missing_dir.has_value());
    EXPECT_EQ(missing_dir.error().message(), "io error: No such file or directory (os error 2)");
    EXPECT_EQ(missing_dir.error().os_error(), 2);
}

// Names in a directory other than the given ones: leftovers of a writer.
std::vector<std::string> others_in(const std::string& dir, std::initializer_list<std::string> known) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
}

// Until commit() the target keeps its old bytes; a writer dropped, failed or
// interrupted at any point leaves them and no temporary file behind.
TEST(FileWriter, ReplacesTheTargetOnlyAtCommit) {
    ScratchDir dir;
    const std::string path = dir.file("t.bin");
    const auto old_bytes = pattern(100);
    const auto new_bytes = pattern(3 * kInterruptPollBytes + 5000);
    write_file(path, old_bytes);

    {
        auto dropped = FileWriter::create(path);
        ASSERT_TRUE(dropped.has_value());
        ASSERT_TRUE(dropped->write(new_bytes).has_value());
        EXPECT_FALSE(dropped->temporary_path().empty());
        EXPECT_TRUE(std::filesystem::exists(dropped->temporary_path()));
        EXPECT_EQ(read_file(path), old_bytes);
    }
    EXPECT_EQ(read_file(path), old_bytes);
    EXPECT_TRUE(others_in(dir.file(""), {"t.bin"}).empty());

    struct Case {
        const char* name;
        WriteFaults faults;
        std::string error;
    };
    const std::string enospc = "io error: No space left on device (os error 28)";
    const std::string eio = "io error: Input/output error (os error 5)";
    const Case cases[] = {
        {"disk full at once", {.fail_after_bytes = 0}, enospc},
        {"disk full inside the buffer", {.fail_after_bytes = 100}, enospc},
        {"disk full after the first megabyte", {.fail_after_bytes = kInterruptPollBytes + 1}, enospc},
        {"disk full one byte short", {.fail_after_bytes = new_bytes.size() + 8 - 1}, enospc},
        {"fsync fails", {.fail_at_fsync = true}, eio},
        {"rename fails", {.fail_at_rename = true}, eio},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto writer = FileWriter::create(path, {}, c.faults);
        ASSERT_TRUE(writer.has_value());
        // A failure is met by a write or, for bytes still buffered, by commit.
        Status status = writer->write(new_bytes);
        if (status) status = writer->write_u64(7);
        if (status) status = writer->commit();
        ASSERT_FALSE(status.has_value());
        EXPECT_EQ(status.error().message(), c.error);
        writer = std::unexpected(KivoError::empty_index());  // drop the writer
        EXPECT_EQ(read_file(path), old_bytes);
        EXPECT_TRUE(others_in(dir.file(""), {"t.bin"}).empty());
    }

    // Interrupted at every poll in turn: the old file stays until the run in
    // which no poll fires; then the new one is in place.
    for (uint64_t fire_at = 0;; ++fire_at) {
        PollAfter poll{fire_at};
        auto writer = FileWriter::create(path, poll.check());
        ASSERT_TRUE(writer.has_value());
        Status status = writer->write(new_bytes);
        if (status) status = writer->commit();
        if (status) {
            EXPECT_EQ(fire_at, poll.polls) << "every poll was tried";
            EXPECT_GE(fire_at, 4u);  // three megabytes written, then the check before the rename
            break;
        }
        EXPECT_EQ(status.error().kind(), ErrorKind::Interrupted);
        writer = std::unexpected(KivoError::empty_index());
        EXPECT_EQ(read_file(path), old_bytes) << "fired at poll " << fire_at;
        EXPECT_TRUE(others_in(dir.file(""), {"t.bin"}).empty());
        ASSERT_LT(fire_at, 100u);
    }
    EXPECT_EQ(read_file(path), new_bytes);
    EXPECT_TRUE(others_in(dir.file(""), {"t.bin"}).empty());
}

// The replacement keeps the old file's permission bits and a symbolic link:
// the link's target gets the new bytes. A hard link keeps the old bytes.
TEST(FileWriter, KeepsModeAndSymbolicLinks) {
    ScratchDir dir;
    const std::string real = dir.file("real.kivo");
    write_file(real, pattern(10));
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.kivo", dir.file("link.kivo").c_str()), 0);
    ASSERT_EQ(::link(real.c_str(), dir.file("hard.kivo").c_str()), 0);

    auto writer = FileWriter::create(dir.file("link.kivo"));
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write_u8(42).has_value());
    ASSERT_TRUE(writer->commit().has_value());
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.kivo")));
    EXPECT_EQ(read_file(real), std::vector<uint8_t>{42});
    EXPECT_EQ(read_file(dir.file("hard.kivo")), pattern(10));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(others_in(dir.file(""), {"real.kivo", "link.kivo", "hard.kivo"}).empty());

    // A directory is no file to replace; nothing is left behind either.
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    auto on_dir = FileWriter::create(dir.file("sub"));
    ASSERT_FALSE(on_dir.has_value());
    EXPECT_EQ(on_dir.error().os_error(), EISDIR);
    EXPECT_TRUE(others_in(dir.file(""), {"real.kivo", "link.kivo", "hard.kivo", "sub"}).empty());
}

// ---- reader ----------------------------------------------------------------------

TEST(FileReader, ReadsAcrossTheBufferAndTracksRemainingBytes) {
    ScratchDir dir;
    const std::string path = dir.file("r.bin");
    const auto bytes = pattern(3 * kBufferSize + 123);
    write_file(path, bytes);
    auto reader = FileReader::open(path);
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    EXPECT_EQ(reader->file_size(), bytes.size());

    std::size_t pos = 0;
    for (std::size_t size : {std::size_t{5}, kBufferSize - 1, std::size_t{2}, kBufferSize + 10, std::size_t{0},
                             std::size_t{7000}}) {
        std::vector<uint8_t> got(size);
        ASSERT_TRUE(reader->read_exact(got).has_value());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos)));
        pos += size;
        EXPECT_EQ(reader->remaining(), bytes.size() - pos);
    }
    auto rest = reader->read_bytes(reader->remaining());
    ASSERT_TRUE(rest.has_value());
    EXPECT_TRUE(std::equal(rest->begin(), rest->end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos)));
    EXPECT_EQ(reader->remaining(), 0u);

    auto past = reader->read_u8();
    ASSERT_FALSE(past.has_value());
    EXPECT_EQ(past.error().message(), "io error: failed to fill whole buffer");
}

TEST(FileReader, ArraysAreCheckedAgainstTheRemainingBytesBeforeAllocation) {
    ScratchDir dir;
    const std::string path = dir.file("a.bin");
    std::vector<uint8_t> bytes;
    kivo::testing::put_u64(bytes, 0x0102030405060708ULL);
    kivo::testing::put_f32(bytes, -2.5f);
    write_file(path, bytes);
    auto reader = FileReader::open(path);
    ASSERT_TRUE(reader.has_value());
    // A count that would need more bytes than the file has fails at once
    // (a count near 2^64 would otherwise overflow the size or exhaust memory).
    for (uint64_t count : {uint64_t{2}, uint64_t{1} << 61, ~uint64_t{0}}) {
        auto too_many = reader->read_u64_array(count);
        ASSERT_FALSE(too_many.has_value());
        EXPECT_EQ(too_many.error().message(), "io error: failed to fill whole buffer");
        EXPECT_EQ(reader->remaining(), 12u);  // nothing consumed
    }
    auto ids = reader->read_u64_array(1);
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(*ids, std::vector<uint64_t>{0x0102030405060708ULL});
    auto floats = reader->read_f32_array(1);
    ASSERT_TRUE(floats.has_value());
    EXPECT_EQ(*floats, std::vector<float>{-2.5f});
}

TEST(FileReader, OpenErrors) {
    ScratchDir dir;
    auto missing = FileReader::open(dir.file("missing.kivo"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "io error: No such file or directory (os error 2)");

    write_file(dir.file("a"), pattern(4));
    auto nul = FileReader::open(dir.file(std::string("a\0.kivo", 7)));
    ASSERT_FALSE(nul.has_value());
    EXPECT_EQ(nul.error().message(), "io error: file name contained an unexpected NUL byte");

    auto directory = FileReader::open(dir.file(""));
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(directory.error().os_error(), EISDIR);

    auto device = FileReader::open("/dev/null");
    ASSERT_FALSE(device.has_value());
    EXPECT_EQ(device.error().message(), "io error: not a regular file");

    // A FIFO without a writer is refused at once instead of blocking the open.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    auto fifo = FileReader::open(dir.file("fifo"));
    ASSERT_FALSE(fifo.has_value());
    EXPECT_EQ(fifo.error().message(), "io error: not a regular file");
}

TEST(SpanReader, ReadsInPlaceAndFailsAtTheEnd) {
    const auto bytes = pattern(10);
    SpanReader reader(bytes);
    EXPECT_EQ(reader.remaining(), 10u);
    auto first = reader.read_u32();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                          uint32_t{bytes[3]} << 24);
    EXPECT_EQ(reader.remaining(), 6u);
    auto too_long = reader.read_u64();
    auto after = reader.read_u16();
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(too_long.error().message(), "io error: failed to fill whole buffer");
    EXPECT_FALSE(after.has_value());
}

// ---- header ----------------------------------------------------------------------

TEST(Header, WritesTheFiftySixBytesOfVersionSix) {
    ScratchDir dir;
    Header header;
    header.version = 3;  // ignored: the writer always writes version 6
    header.dim = 0x01020304;
    header.metric = 2;
    header.bit_width = 4;
    header.index_type = 1;
    header.n_vectors = 0x1112131415161718ULL;
    header.seed = 0xDEADBEEFCAFE1337ULL;
    header.n4_dims = 0x21222324;
    header.ivf_nlist = 0x31323334;
    header.ivf_nprobe = 0x41424344;
    header.hnsw_m = 0x5152;
    header.hnsw_ef_construction = 0x6162;
    header.hnsw_ef_search = 0x7172;
    header.has_std_params = true;
    auto writer = FileWriter::create(dir.file("h"));
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(Header::write(header, *writer).has_value());
    ASSERT_TRUE(writer->commit().has_value());
    const std::vector<uint8_t> expected = {
        'K',  'I',  'V',  'O',  6,    0,    0,    0,    0x04, 0x03, 0x02, 0x01, 2,    4,
        1,    0,    0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 0x37, 0x13, 0xFE, 0xCA,
        0xEF, 0xBE, 0xAD, 0xDE, 0x24, 0x23, 0x22, 0x21, 0,    0,    0,    0,    0x34, 0x33,
        0x32, 0x31, 0x44, 0x43, 0x42, 0x41, 0x52, 0x51, 0x62, 0x61, 0x72, 0x71, 1,    0};
    EXPECT_EQ(read_file(dir.file("h")), expected);

    auto bytes = read_file(dir.file("h"));
    SpanReader reader(bytes);
    auto back = Header::read(reader);
    ASSERT_TRUE(back.has_value());
    header.version = 6;
    EXPECT_EQ(*back, header);
}

TEST(Header, RefusesAnN4DimsItCannotStore) {
    ScratchDir dir;
    Header header;
    header.n4_dims = uint64_t{1} << 32;
    auto writer = FileWriter::create(dir.file("h"));
    ASSERT_TRUE(writer.has_value());
    auto written = Header::write(header, *writer);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().message(), "io error: n4_dims 4294967296 does not fit the file's 32-bit field");
}

struct VersionCase {
    uint32_t version;
    uint8_t bit_width;
    uint32_t stored_n4;    // what the version 3+ field holds
    uint8_t std_flag;      // byte 54
    uint64_t expect_n4;
    bool expect_std;
    bool expect_params;    // ivf/hnsw fields read
    std::size_t size;
};

TEST(Header, ReadsEveryVersionAtItsOwnSize) {
    const VersionCase cases[] = {
        // Versions 1 and 2 derive n4_dims from the bit width (dim 5 -> padded 8).
        {1, 4, 0, 0, 8, false, false, 32},
        {1, 2, 0, 0, 0, false, false, 32},
        {2, 4, 0, 0, 8, false, false, 32},
        {2, 2, 0, 0, 0, false, false, 32},
        {3, 4, 4, 0, 4, false, false, 40},
        {4, 4, 8, 1, 8, false, true, 56},  // the flag byte is not honoured before 6
        {5, 2, 0, 1, 0, false, true, 56},
        {6, 4, 8, 1, 8, true, true, 56},
        {6, 4, 8, 0, 8, false, true, 56},
        {6, 4, 8, 0xFF, 8, true, true, 56},
    };
    for (const auto& c : cases) {
        HeaderFields f;
        f.version = c.version;
        f.dim = 5;
        f.metric = 1;
        f.bit_width = c.bit_width;
        f.index_type = 2;
        f.n_vectors = 77;
        f.seed = 0x0123456789ABCDEFULL;
        f.n4_dims = c.stored_n4;
        f.ivf_nlist = 300;
        f.ivf_nprobe = 9;
        f.hnsw_m = 16;
        f.hnsw_ef_construction = 100;
        f.hnsw_ef_search = 40;
        f.std_flag = c.std_flag;
        auto bytes = header_bytes(f);
        ASSERT_EQ(bytes.size(), c.size);
        EXPECT_EQ(Header::size_for_version(c.version), c.size);
        bytes.push_back(0xAB);  // the body's first byte
        SpanReader reader(bytes);
        auto h = Header::read(reader);
        ASSERT_TRUE(h.has_value()) << "version " << c.version;
        EXPECT_EQ(h->version, c.version);
        EXPECT_EQ(h->dim, 5u);
        EXPECT_EQ(h->metric, 1);
        EXPECT_EQ(h->bit_width, c.bit_width);
        EXPECT_EQ(h->index_type, 2);
        EXPECT_EQ(h->n_vectors, 77u);
        EXPECT_EQ(h->seed, 0x0123456789ABCDEFULL);
        EXPECT_EQ(h->n4_dims, c.expect_n4) << "version " << c.version;
        EXPECT_EQ(h->has_std_params, c.expect_std) << "version " << c.version;
        EXPECT_EQ(h->ivf_nlist, c.expect_params ? 300u : 0u);
        EXPECT_EQ(h->ivf_nprobe, c.expect_params ? 9u : 0u);
        EXPECT_EQ(h->hnsw_m, c.expect_params ? 16 : 0);
        EXPECT_EQ(h->hnsw_ef_construction, c.expect_params ? 100 : 0);
        EXPECT_EQ(h->hnsw_ef_search, c.expect_params ? 40 : 0);
        // The reader stops exactly at the end of the version's header.
        EXPECT_EQ(reader.remaining(), 1u) << "version " << c.version;
    }
}

TEST(Header, RefusesBadMagicAndUnknownVersions) {
    HeaderFields f;
    auto bytes = header_bytes(f);
    bytes[3] = 'X';
    SpanReader bad_magic(bytes);
    auto magic = Header::read(bad_magic);
    ASSERT_FALSE(magic.has_value());
    EXPECT_EQ(magic.error().message(), "invalid .kivo file: bad magic bytes");

    for (uint32_t version : {0u, 7u, 0xFFFFFFFFu}) {
        f.version = version;
        auto v = header_bytes(f);
        SpanReader reader(v);
        auto h = Header::read(reader);
        ASSERT_FALSE(h.has_value());
        EXPECT_EQ(h.error().kind(), ErrorKind::UnsupportedVersion);
        EXPECT_EQ(h.error().first(), version);
    }
    f.version = 7;
    auto v7 = header_bytes(f);
    SpanReader reader(v7);
    EXPECT_EQ(Header::read(reader).error().message(), "unsupported file version: 7");
}

TEST(Header, EveryTruncatedHeaderIsAnEarlyEnd) {
    for (uint32_t version = 1; version <= 6; ++version) {
        HeaderFields f;
        f.version = version;
        const auto bytes = header_bytes(f);
        for (std::size_t len = 0; len < bytes.size(); ++len) {
            std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
            SpanReader reader(prefix);
            auto h = Header::read(reader);
            ASSERT_FALSE(h.has_value()) << "version " << version << " length " << len;
            EXPECT_EQ(h.error().message(), "io error: failed to fill whole buffer")
                << "version " << version << " length " << len;
        }
    }
    // Fewer than four bytes that differ from the magic are still an early end.
    std::vector<uint8_t> short_bad = {'X', 'Y'};
    SpanReader reader(short_bad);
    EXPECT_EQ(Header::read(reader).error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace kivo::io
