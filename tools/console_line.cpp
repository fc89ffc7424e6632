// Input lines of the serial consoles; see console_line.hpp.
#include "console_line.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace kor_console {

namespace {

constexpr int64_t kLastRegister = 0xFFFF;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\0';
}

}  // namespace

LineStatus read_line(std::FILE *in, std::size_t max_chars, std::string &line) {
    line.clear();
    bool overflow = false;
    bool got_any = false;
    for (;;) {
        const int c = std::getc(in);
        if (c == EOF) {
            if (!got_any) {
                return LineStatus::end_of_input;
            }
            break;
        }
        got_any = true;
        if (c == '\n') {
            break;
        }
        if (line.size() < max_chars) {
            line.push_back(static_cast<char>(c));
        } else {
            // Keep reading to the end of the line so its tail is not the next command.
            overflow = true;
        }
    }
    if (overflow) {
        line.clear();
        return LineStatus::too_long;
    }
    return LineStatus::ok;
}

Words split_words(std::string_view line) {
    Words words;
    std::size_t at = 0;
    while (words.count < words.word.size()) {
        while (at < line.size() && is_blank(line[at])) {
            ++at;
        }
        if (at == line.size()) {
            break;
        }
        const std::size_t start = at;
        while (at < line.size() && !is_blank(line[at])) {
            ++at;
        }
        words.word[words.count++] = std::string(line.substr(start, at - start));
    }
    return words;
}

int32_t parse_number(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at]) && text[at] != '\0') {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Accumulated as a negative magnitude so that INT32_MIN itself fits.
    constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > kLimit) {
            magnitude = kLimit;
        }
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return magnitude >= kLimit ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(magnitude);
}

Command decode_command(std::string_view line, std::string_view known) {
    Command command;
    const Words words = split_words(line);
    if (words.count == 0 || known.find(words.word[0][0]) == std::string_view::npos) {
        return command;
    }
    switch (words.word[0][0]) {
        case 'r':
            command.kind = CommandKind::read;
            if (words.count < 2) {
                command.refusal = std::string(kMissingAddress);
            } else {
                command.address = parse_number(words.word[1]);
                command.refusal = register_range_refusal(command.address, 1);
            }
            break;
        case 'w':
            command.kind = CommandKind::write;
            if (words.count < 2) {
                command.refusal = std::string(kMissingAddress);
            } else if (words.count < 3) {
                command.refusal = std::string(kMissingValue);
            } else {
                command.address = parse_number(words.word[1]);
                command.value = parse_number(words.word[2]);
                command.refusal = register_range_refusal(command.address, 1);
            }
            break;
        case 'u':
            command.kind = CommandKind::update;
            if (words.count < 2) {
                command.refusal = std::string(kMissingFile);
            } else {
                command.file = words.word[1];
            }
            break;
        case 'h':
            command.kind = CommandKind::help;
            break;
        case '!':
            command.kind = CommandKind::quit;
            break;
        default:
            break;
    }
    return command;
}

std::optional<std::string> register_range_refusal(int32_t address, int32_t count) {
    if (address < 0 || address > kLastRegister) {
        return "Register address " + std::to_string(address) + " out of range 0-65535";
    }
    const int64_t last = int64_t{address} + std::max(count, 1) - 1;
    if (last > kLastRegister) {
        return "Registers " + std::to_string(address) + " to " + std::to_string(last) +
               " out of range 0-65535";
    }
    return std::nullopt;
}

}  // namespace kor_console
