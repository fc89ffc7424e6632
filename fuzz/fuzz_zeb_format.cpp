// Fuzz target: the bus client's format descriptor decoder. The input is split into a descriptor
// and data (the first byte tells where), decoded, then rendered as a text line and as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "zeb_format.hpp"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_zeb_format: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size == 0 || size > 65536) {
        return 0;
    }
    const std::size_t split = std::min<std::size_t>(bytes[0], size - 1);
    const std::string format(reinterpret_cast<const char *>(bytes + 1), split);
    // The data in a buffer of exactly its size, so reading past it shows.
    const std::size_t data_size = size - 1 - split;
    std::unique_ptr<uint8_t[]> data = std::make_unique<uint8_t[]>(data_size > 0 ? data_size : 1);
    for (std::size_t i = 0; i < data_size; ++i) {
        data[i] = bytes[1 + split + i];
    }
    const zebctl::Decoded decoded =
        zebctl::decode(format, std::span<const uint8_t>(data.get(), data_size));
    for (const zebctl::Field &field : decoded.fields) {
        check(field.width >= 0, "a negative width");
        check(field.text.size() <= data_size || field.kind != zebctl::FieldKind::Text,
              "a text longer than the data");
        std::int64_t value = 0;
        (void)zebctl::field_int(decoded, field.name, value);
        check(zebctl::find_field(decoded, field.name) != nullptr, "a decoded field not found");
    }
    const std::string line = zebctl::text_line("zeb.fuzz.event", decoded);
    check(line.find('\n') == std::string::npos, "a text line with a line break");
    const std::string json = zebctl::json_line("zeb.fuzz.event", format, decoded);
    check(!json.empty() && json.front() == '{' && json.back() == '}', "JSON not an object");
    for (char c : json) {
        check(static_cast<unsigned char>(c) >= 0x20, "a control character in JSON");
    }
    (void)zebctl::json_string(std::string_view(reinterpret_cast<const char *>(bytes), size));
    return 0;
}
