// libFuzzer target for the two load paths: each input becomes the content of
// an in-memory file (memfd) that Kivo::load and Kivo::load_mmap read, and the
// properties of load_check.h must hold for it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

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

    // Every input must stay within the -malloc_limit_mb given to the fuzzer:
    // a load costs what the file holds, whatever dimension its header names
    // (the rotation is drawn at first use; check_file grows only indexes
    // whose rotation the file's size accounts for).
    if (!fill(input_fd, data, size)) std::abort();
    if (auto broken = kivo::fuzzcheck::check_file(input_path, scratch_path)) {
        // A broken property is a finding: stop with the input saved.
        fprintf(stderr, "property broken: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
