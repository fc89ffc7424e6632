// Decoder of service-bus format descriptors, for the bus client zebctl. A descriptor lists one
// entry per field, "<width><type><count> <name>", separated by blanks: types s (signed; a char
// array when the width is 1 and the count above 1), u (unsigned) and f (float); "1s0" is a
// NUL-terminated string filling the rest of the data. The data comes from other processes, so
// decoding never reads past it and a malformed descriptor or short data ends in a raw field and
// an error text instead of a guess. Also renders a decoded event as a text line or a JSON object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zebctl {

enum class FieldKind {
    Signed,    // ints
    Unsigned,  // uints
    Float,     // floats
    Text,      // text: the characters before the first NUL
    Raw,       // text: bytes the descriptor did not describe (or could not)
};

struct Field {
    std::string name;
    FieldKind kind = FieldKind::Raw;
    int width = 0;       // bytes per element
    bool array = false;  // count above 1: shown as a list
    std::vector<std::int64_t> ints;
    std::vector<std::uint64_t> uints;
    std::vector<double> floats;
    std::string text;
};

struct Decoded {
    std::vector<Field> fields;
    std::string error;  // empty when descriptor and data matched exactly
};

Decoded decode(std::string_view format, std::span<const std::uint8_t> data);

// The field of that name, or null.
const Field *find_field(const Decoded &decoded, std::string_view name);
// The first value of a numeric field as an integer (floats truncated); false when the field is
// missing, empty or not numeric.
bool field_int(const Decoded &decoded, std::string_view name, std::int64_t &out);

// "event field=value field=value"; texts as they are, control characters escaped so one event
// stays one line; raw bytes in hex; arrays comma separated; a decode error appended as
// error="...".
std::string text_line(std::string_view event, const Decoded &decoded);
// {"event":...,"sender":...,"fields":{...}} plus "error" when decoding found a problem.
std::string json_line(std::string_view event, std::string_view sender, const Decoded &decoded);
// The text as a JSON string literal with its quotes; well-formed UTF-8 passes, any other byte
// becomes \u00XX, so the output is valid JSON whatever the input.
std::string json_string(std::string_view text);

// The names of the UI's oven states (mode_notify's mode) and of the IO board's own states
// (its board_mode), as the monitor and the web console show them; "unknown" for others.
const char *ui_state_name(std::int64_t s);
const char *board_state_name(std::int64_t s);

}  // namespace zebctl
