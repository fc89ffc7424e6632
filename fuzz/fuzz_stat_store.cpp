// Fuzz target: the statistics store's file parser. The input becomes a scratch store file; the
// store is opened (an unparsable file is set aside and the store starts empty), a set of entries
// read, a tracker started and updated and an average recorded, and the store closed and opened
// again: what it wrote must parse.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_scratch.hpp"
#include "zeb_logger.h"
#include "zeb_stat.h"

namespace {

std::string g_store;
std::string g_corrupt;

constexpr const char *kNames[] = {"powered_on", "cook_time", "energy_mode", "temp", "belt_time_1",
                                  "a",          "",          "x.sum"};

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_stat_store: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_store = kor_fuzz::scratch_dir("kor_fuzz_stat") + "/sys_stat";
    g_corrupt = g_store + ".corrupt";
    ::setenv("ZEB_LOG", "file:/dev/null", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size > 65536) {
        return -1;
    }
    std::FILE *f = std::fopen(g_store.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(bytes, 1, size, f);
    std::fclose(f);
    ::unlink(g_corrupt.c_str());

    zeb_stat_t *handle = nullptr;
    if (zeb_stat_open(g_store.c_str(), &handle) != 0) {
        return 0;
    }
    for (const char *name : kNames) {
        int32_t value = -1;
        if (zeb_stat_get_field(handle, name, &value) == 0) {
            check(value >= 0, "a negative value");
        }
    }
    (void)zeb_stat_runtime_start(handle, "powered_on");
    (void)zeb_stat_runtime_update(handle, "powered_on", 0);
    (void)zeb_stat_runtime_update(handle, "powered_on", 1);
    (void)zeb_stat_average_period(handle, "temp", 475, 3600);
    check(zeb_stat_close(handle) == 0, "close failed");

    // What the store wrote parses again: nothing is set aside this time.
    ::unlink(g_corrupt.c_str());
    check(zeb_stat_open(g_store.c_str(), &handle) == 0, "the store's own file did not open");
    struct stat st {};
    check(::stat(g_corrupt.c_str(), &st) != 0, "the store's own file was set aside as corrupt");
    zeb_stat_close(handle);
    return 0;
}
