// Scratch directories of the fuzz targets. They go to /dev/shm when there is one: the stores
// rewrite their files with fsync on every write, which on a disk would hold each input for
// milliseconds and leave the fuzzer a few dozen runs a second.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace kor_fuzz {

// A new, empty directory named after prefix, removed when the fuzzer exits normally (a crash
// leaves it for a look); aborts when none can be made. One per process.
inline std::string scratch_dir(const char *prefix) {
    static std::string made;
    const char *base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    made = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return pattern;
}

}  // namespace kor_fuzz
