// Fuzz target: the serial consoles' input lines. The bytes are read line by line from a memory
// stream with a small and a large limit; every line is split and decoded with both consoles'
// command sets, and each number is parsed on its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console_line.hpp"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_console_line: %s\n", what);
        std::abort();
    }
}

void read_all(const uint8_t *bytes, std::size_t size, std::size_t max_chars) {
    std::FILE *in = ::fmemopen(const_cast<uint8_t *>(bytes), size, "r");
    if (in == nullptr) {
        return;
    }
    std::string line;
    for (;;) {
        const kor_console::LineStatus status = kor_console::read_line(in, max_chars, line);
        if (status == kor_console::LineStatus::end_of_input) {
            break;
        }
        if (status == kor_console::LineStatus::too_long) {
            continue;
        }
        check(line.size() <= max_chars, "a line longer than the limit was accepted");
        check(line.find('\n') == std::string::npos, "a line kept its newline");
        const kor_console::Words words = kor_console::split_words(line);
        check(words.count <= 3, "more than three words");
        for (std::size_t i = 0; i < words.count; ++i) {
            check(!words.word[i].empty(), "an empty word");
            (void)kor_console::parse_number(words.word[i]);
        }
        for (std::string_view known : {"rw!", "rwuh!"}) {
            const kor_console::Command command = kor_console::decode_command(line, known);
            if (command.kind != kor_console::CommandKind::invalid) {
                check(words.count > 0 && known.find(words.word[0][0]) != std::string_view::npos,
                      "a command outside the known set was decoded");
            }
        }
    }
    std::fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    read_all(bytes, size, 16);
    read_all(bytes, size, 255);
    (void)kor_console::parse_number(std::string_view(reinterpret_cast<const char *>(bytes), size));
    return 0;
}
