// Fuzz target: the IO channel event decoder. Any input either fails with every output null, or
// yields a name, target and format that start inside the used bytes and end on a NUL inside them,
// and data that lies inside them too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vix_io.h"

namespace {

void fail(const char *what) {
    std::fprintf(stderr, "fuzz_vix_io_unserialize: %s\n", what);
    std::abort();
}

// True when text starts inside [begin, end) and its NUL comes before end.
bool string_inside(const char *text, const char *begin, const char *end) {
    if (text == nullptr || text < begin || text >= end) {
        return false;
    }
    return std::memchr(text, '\0', static_cast<std::size_t>(end - text)) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size > INT32_MAX) {
        return -1;
    }
    // Exactly the input's bytes: the decoder must not read beyond the used size.
    std::vector<char> message(bytes, bytes + size);
    vix_io_buffer view{message.data(), static_cast<int32_t>(size), static_cast<int32_t>(size)};
    char *target = reinterpret_cast<char *>(1);
    char *name = reinterpret_cast<char *>(1);
    char *format = reinterpret_cast<char *>(1);
    void *data = reinterpret_cast<void *>(1);
    const int32_t length = vix_io_unserialize(&view, &target, &name, &format, &data);
    if (length < 0) {
        if (length != -1 || target != nullptr || name != nullptr || format != nullptr ||
            data != nullptr) {
            fail("a failed decode left an output set or returned other than -1");
        }
        return 0;
    }
    const char *begin = message.data();
    const char *end = begin + size;
    if (!string_inside(target, begin, end) || !string_inside(name, begin, end) ||
        !string_inside(format, begin, end)) {
        fail("a decoded string lies outside the message or has no NUL inside it");
    }
    if (length == 0) {
        if (data != nullptr) {
            fail("empty data with a data pointer");
        }
    } else {
        const char *d = static_cast<const char *>(data);
        if (d == nullptr || d < begin || d > end ||
            static_cast<std::size_t>(end - d) < static_cast<std::size_t>(length)) {
            fail("decoded data lies outside the message");
        }
    }
    // The decoder's result re-encodes to the same event.
    vix_io_buffer *again = vix_io_serialize(nullptr, target, name, format, data, length);
    if (again == nullptr) {
        fail("a decoded event could not be encoded again");
    }
    char *target2 = nullptr;
    char *name2 = nullptr;
    char *format2 = nullptr;
    void *data2 = nullptr;
    const int32_t length2 = vix_io_unserialize(again, &target2, &name2, &format2, &data2);
    if (length2 != length || std::strcmp(target, target2) != 0 || std::strcmp(name, name2) != 0 ||
        std::strcmp(format, format2) != 0 ||
        (length > 0 && std::memcmp(data, data2, static_cast<std::size_t>(length)) != 0)) {
        fail("a decoded event did not survive encoding and decoding again");
    }
    vix_io_free_buffer(again);
    return 0;
}
