// Input lines of the serial consoles (modbus_console, ioboard_console): reads one command line
// from standard input with a length limit, splits it into at most three words and decodes the
// command. Owns no state; both consoles link it so they read their input the same way.
//
// A line longer than the limit is read to its end and refused as a whole: its tail is never taken
// as a command of its own, and a cut-off number is never acted on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace kor_console {

enum class LineStatus {
    ok,           // a line (possibly empty) is in line
    too_long,     // the line had more than max_chars characters; it was read and dropped
    end_of_input  // nothing more to read
};

// Reads one line (the newline is not kept; a last line without one counts as a line).
LineStatus read_line(std::FILE *in, std::size_t max_chars, std::string &line);

// A line split at blanks (space, tab, CR, LF, VT, FF, NUL); words after the third are ignored.
struct Words {
    std::array<std::string, 3> word{};
    std::size_t count = 0;
};
Words split_words(std::string_view line);

// Reads a number as atoi does (leading blanks, an optional sign, then digits up to the first
// non-digit; 0 when none), but saturates at the int32 limits instead of overflowing.
int32_t parse_number(std::string_view text);

enum class CommandKind { invalid, read, write, update, help, quit };

struct Command {
    CommandKind kind = CommandKind::invalid;
    int32_t address = 0;
    int32_t value = 0;
    std::string file;
    // Set when the command lacks its register address, value or file name, or names a register
    // outside 0-65535: the console prints this text instead of acting.
    std::optional<std::string> refusal;
};

// Decodes a line. The first character of the first word selects the command among those in
// known ('r', 'w', 'u', 'h', '!'); anything else, and an empty line, is invalid.
Command decode_command(std::string_view line, std::string_view known);

// Registers are numbered 0-65535. The refusal text when count registers (at least one) from
// address do not all fit, else nothing: libmodbus would cut the number to 16 bits and reach
// another register.
std::optional<std::string> register_range_refusal(int32_t address, int32_t count);

inline constexpr std::string_view kMissingAddress = "Missing register address";
inline constexpr std::string_view kMissingValue = "Missing value";
inline constexpr std::string_view kMissingFile = "Missing file name";

}  // namespace kor_console
