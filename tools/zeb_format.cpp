// Format descriptor decoder and the text and JSON renderings of zebctl. Owns nothing beyond the
// values it returns; every read from the data is bounded by the data's own length.
#include "zeb_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace zebctl {

namespace {

constexpr std::size_t kMaxCount = 1u << 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::vector<std::string_view> split_blanks(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i])) {
            ++i;
        }
        std::size_t start = i;
        while (i < s.size() && !is_blank(s[i])) {
            ++i;
        }
        if (i > start) {
            out.push_back(s.substr(start, i - start));
        }
    }
    return out;
}

struct FieldEntry {
    int width = 0;
    char type = 0;
    std::size_t count = 0;
};

bool parse_number(std::string_view s, std::size_t &out) {
    if (s.empty() || s.size() > 7) {
        return false;
    }
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size();
}

// "<width><type><count>"; the widths and counts a field of this bus can have.
bool parse_field_entry(std::string_view token, FieldEntry &entry, std::string &why) {
    std::size_t t = 0;
    while (t < token.size() && token[t] >= '0' && token[t] <= '9') {
        ++t;
    }
    std::size_t width = 0;
    if (t == token.size() || !parse_number(token.substr(0, t), width) ||
        !parse_number(token.substr(t + 1), entry.count)) {
        why = "bad field entry \"" + std::string(token) + "\"";
        return false;
    }
    entry.type = token[t];
    entry.width = static_cast<int>(width);
    const bool int_width = width == 1 || width == 2 || width == 4 || width == 8;
    switch (entry.type) {
        case 's':
        case 'u':
            if (!int_width) {
                why = "bad width in \"" + std::string(token) + "\"";
                return false;
            }
            break;
        case 'f':
            if (width != 4 && width != 8) {
                why = "bad width in \"" + std::string(token) + "\"";
                return false;
            }
            break;
        default:
            why = "unknown field type in \"" + std::string(token) + "\"";
            return false;
    }
    if (entry.count == 0 && !(entry.type == 's' && entry.width == 1)) {
        why = "count 0 is only for strings (\"1s0\"), not \"" + std::string(token) + "\"";
        return false;
    }
    if (entry.count > kMaxCount) {
        why = "count too large in \"" + std::string(token) + "\"";
        return false;
    }
    return true;
}

std::int64_t read_signed(const std::uint8_t *p, int width) {
    switch (width) {
        case 1: {
            std::int8_t v;
            std::memcpy(&v, p, 1);
            return v;
        }
        case 2: {
            std::int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case 4: {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        default: {
            std::int64_t v;
            std::memcpy(&v, p, 8);
            return v;
        }
    }
}

std::uint64_t read_unsigned(const std::uint8_t *p, int width) {
    switch (width) {
        case 1:
            return p[0];
        case 2: {
            std::uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case 4: {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        default: {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            return v;
        }
    }
}

double read_float(const std::uint8_t *p, int width) {
    if (width == 4) {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    double v;
    std::memcpy(&v, p, 8);
    return v;
}

std::string text_until_nul(const std::uint8_t *p, std::size_t n) {
    if (n == 0) {
        return std::string();  // p may be null with no data
    }
    const void *nul = std::memchr(p, 0, n);
    const std::size_t len =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(nul) - p) : n;
    return std::string(reinterpret_cast<const char *>(p), len);
}

Field raw_field(std::string name, std::span<const std::uint8_t> bytes) {
    Field f;
    f.name = std::move(name);
    f.kind = FieldKind::Raw;
    f.width = 1;
    f.text.assign(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return f;
}

// Field names become JSON keys and text-line keys: a missing or repeated one gets a unique name.
std::string unique_name(const std::vector<Field> &fields, std::string_view wanted,
                        std::size_t index) {
    std::string base = wanted.empty() ? "field" + std::to_string(index) : std::string(wanted);
    auto taken = [&](const std::string &n) {
        for (const Field &f : fields) {
            if (f.name == n) {
                return true;
            }
        }
        return false;
    };
    if (!taken(base)) {
        return base;
    }
    for (std::size_t k = 2;; ++k) {
        std::string n = base + "_" + std::to_string(k);
        if (!taken(n)) {
            return n;
        }
    }
}

std::string format_float(double v, int width) {
    if (std::isnan(v)) {
        return "nan";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-inf" : "inf";
    }
    char buf[64];
    std::to_chars_result r = width == 4
                                 ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                                 : std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// One text-line value: control characters escaped so an event stays on one line.
std::string line_text(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    static const char digits[] = "0123456789abcdef";
                    out += "\\x";
                    out.push_back(digits[c >> 4]);
                    out.push_back(digits[c & 15]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out;
}

// The values of a numeric field, as text (for_json: NaN and infinities become null).
std::vector<std::string> numeric_values(const Field &f, bool for_json) {
    std::vector<std::string> out;
    switch (f.kind) {
        case FieldKind::Signed:
            for (auto v : f.ints) {
                out.push_back(std::to_string(v));
            }
            break;
        case FieldKind::Unsigned:
            for (auto v : f.uints) {
                out.push_back(std::to_string(v));
            }
            break;
        case FieldKind::Float:
            for (auto v : f.floats) {
                out.push_back(for_json && !std::isfinite(v) ? "null" : format_float(v, f.width));
            }
            break;
        default:
            break;
    }
    return out;
}

// Length of the well-formed UTF-8 sequence starting at i (2 to 4 bytes), or 0.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xc0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (cc & 0x3f);
    }
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff)) {
        return 0;
    }
    return n;
}

}  // namespace

Decoded decode(std::string_view format, std::span<const std::uint8_t> data) {
    Decoded out;
    const std::vector<std::string_view> tokens = split_blanks(format);
    std::size_t pos = 0;
    std::size_t index = 0;
    for (std::size_t t = 0; t < tokens.size();) {
        ++index;
        FieldEntry entry;
        if (!parse_field_entry(tokens[t], entry, out.error)) {
            break;
        }
        std::string_view name = t + 1 < tokens.size() ? tokens[t + 1] : std::string_view();
        t += 2;
        const std::size_t left = data.size() - pos;
        Field f;
        f.name = unique_name(out.fields, name, index);
        f.width = entry.width;
        if (entry.count == 0) {
            // A string: the rest of the data when it is the last field, else up to its NUL.
            f.kind = FieldKind::Text;
            f.text = text_until_nul(data.data() + pos, left);
            const bool last = t >= tokens.size();
            pos += last ? left : std::min(left, f.text.size() + 1);
            out.fields.push_back(std::move(f));
            continue;
        }
        const std::size_t need = static_cast<std::size_t>(entry.width) * entry.count;
        if (need > left) {
            out.error = "field " + f.name + " needs " + std::to_string(need) + " bytes, " +
                        std::to_string(left) + " left";
            break;
        }
        const std::uint8_t *p = data.data() + pos;
        f.array = entry.count > 1;
        if (entry.type == 's' && entry.width == 1 && entry.count > 1) {
            f.kind = FieldKind::Text;
            f.array = false;
            f.text = text_until_nul(p, entry.count);
        } else if (entry.type == 's') {
            f.kind = FieldKind::Signed;
            for (std::size_t i = 0; i < entry.count; ++i) {
                f.ints.push_back(read_signed(p + i * entry.width, entry.width));
            }
        } else if (entry.type == 'u') {
            f.kind = FieldKind::Unsigned;
            for (std::size_t i = 0; i < entry.count; ++i) {
                f.uints.push_back(read_unsigned(p + i * entry.width, entry.width));
            }
        } else {
            f.kind = FieldKind::Float;
            for (std::size_t i = 0; i < entry.count; ++i) {
                f.floats.push_back(read_float(p + i * entry.width, entry.width));
            }
        }
        pos += need;
        out.fields.push_back(std::move(f));
    }
    if (pos < data.size()) {
        const bool stopped = !out.error.empty();
        if (!stopped) {
            out.error = std::to_string(data.size() - pos) + " bytes beyond the descriptor";
        }
        out.fields.push_back(
            raw_field(unique_name(out.fields, stopped ? "_raw" : "_extra", 0), data.subspan(pos)));
    }
    return out;
}

const Field *find_field(const Decoded &decoded, std::string_view name) {
    for (const Field &f : decoded.fields) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

bool field_int(const Decoded &decoded, std::string_view name, std::int64_t &out) {
    const Field *f = find_field(decoded, name);
    if (f == nullptr) {
        return false;
    }
    if (f->kind == FieldKind::Signed && !f->ints.empty()) {
        out = f->ints.front();
        return true;
    }
    if (f->kind == FieldKind::Unsigned && !f->uints.empty()) {
        out = static_cast<std::int64_t>(f->uints.front());
        return true;
    }
    if (f->kind == FieldKind::Float && !f->floats.empty() && std::isfinite(f->floats.front()) &&
        std::fabs(f->floats.front()) < 9e18) {
        out = static_cast<std::int64_t>(f->floats.front());
        return true;
    }
    return false;
}

std::string text_line(std::string_view event, const Decoded &decoded) {
    std::string out = line_text(event);
    for (const Field &f : decoded.fields) {
        out += ' ';
        out += line_text(f.name);
        out += '=';
        if (f.kind == FieldKind::Text) {
            out += line_text(f.text);
        } else if (f.kind == FieldKind::Raw) {
            out += hex(f.text);
        } else {
            const std::vector<std::string> values = numeric_values(f, false);
            for (std::size_t i = 0; i < values.size(); ++i) {
                if (i > 0) {
                    out += ',';
                }
                out += values[i];
            }
        }
    }
    if (!decoded.error.empty()) {
        out += " error=" + json_string(decoded.error);
    }
    return out;
}

std::string json_line(std::string_view event, std::string_view sender, const Decoded &decoded) {
    std::string out =
        "{\"event\":" + json_string(event) + ",\"sender\":" + json_string(sender) + ",\"fields\":{";
    bool first = true;
    for (const Field &f : decoded.fields) {
        if (!first) {
            out += ',';
        }
        first = false;
        out += json_string(f.name);
        out += ':';
        if (f.kind == FieldKind::Text) {
            out += json_string(f.text);
        } else if (f.kind == FieldKind::Raw) {
            out += json_string(hex(f.text));
        } else {
            const std::vector<std::string> values = numeric_values(f, true);
            if (f.array) {
                out += '[';
            }
            for (std::size_t i = 0; i < values.size(); ++i) {
                if (i > 0) {
                    out += ',';
                }
                out += values[i];
            }
            if (f.array) {
                out += ']';
            }
        }
    }
    out += '}';
    if (!decoded.error.empty()) {
        out += ",\"error\":" + json_string(decoded.error);
    }
    out += '}';
    return out;
}

std::string json_string(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (std::size_t n = utf8_sequence(text, i); n > 0) {
                out.append(text.substr(i, n));
                i += n - 1;
            } else {
                out += "\\u00";
                out.push_back(digits[c >> 4]);
                out.push_back(digits[c & 15]);
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u00";
                    out.push_back(digits[c >> 4]);
                    out.push_back(digits[c & 15]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out += '"';
    return out;
}

const char *ui_state_name(std::int64_t s) {
    switch (s) {
        case 0:
            return "off";
        case 1:
            return "preheat";
        case 2:
            return "idle";
        case 3:
            return "bake";
        case 4:
            return "cooldown";
        case 5:
            return "fault";
        case 6:
            return "test";
        case 8:
            return "soak";
        default:
            return "unknown";
    }
}

const char *board_state_name(std::int64_t s) {
    switch (s) {
        case 0:
            return "off";
        case 1:
        case 2:
        case 3:
            return "start-up";
        case 4:
            return "preheat";
        case 5:
            return "idle";
        case 6:
            return "bake";
        case 7:
            return "reheat";
        case 8:
            return "cooldown";
        case 9:
            return "over-temperature";
        case 10:
            return "test";
        case 12:
            return "soak";
        default:
            return "unknown";
    }
}

}  // namespace zebctl
