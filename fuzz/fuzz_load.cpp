// libFuzzer target for the two load paths: each input becomes the content of
// an in-memory file (memfd) that Kivo::load and Kivo::load_mmap read, and the
// properties of load_check.h must hold for it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "config.h"
#include "load_check.h"

namespace {

int make_memfd(const char* name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) std::abort();
    return fd;
}

bool fill(int fd, const uint8_t* data, size_t size) {
    if (ftruncate(fd, 0) != 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int input_fd = make_memfd("kivo-fuzz-input");
    static const int scratch_fd = make_memfd("kivo-fuzz-scratch");
    static const std::string input_path = "/proc/self/fd/" + std::to_string(input_fd);
    static const std::string scratch_path = "/proc/self/fd/" + std::to_string(scratch_fd);

    // The one allocation a file may ask for beyond its own size is the
    // rotation of its dimension (padded_dim sign bytes, padded_dim floats per
    // query), which an empty index of that dimension legitimately needs.
    // Inputs that would only measure that are skipped; every other input must
    // stay within the -malloc_limit_mb given to the fuzzer.
    if (size >= 12) {
        const uint32_t dim = uint32_t{data[8]} | uint32_t{data[9]} << 8 | uint32_t{data[10]} << 16 |
                             uint32_t{data[11]} << 24;
        const uint64_t padded = kivo::vocab::padded_dim_for(dim).value_or(1);
        if (padded > (uint64_t{1} << 20) && padded > 8 * static_cast<uint64_t>(size)) return -1;
    }
    if (!fill(input_fd, data, size)) std::abort();
    if (auto broken = kivo::fuzzcheck::check_file(input_path, scratch_path)) {
        // A broken property is a finding: stop with the input saved.
        fprintf(stderr, "property broken: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
