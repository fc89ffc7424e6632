// The text format shared by the configuration and statistics stores, and the one way either of
// them (and the fault manager's fault list) reaches the disk. A store is kept as its lines, so a
// rewrite changes only the line of the key it sets and every comment, blank line and foreign
// line stays where the operator left it. Internal to the platform libraries: linked statically
// with hidden symbols, never part of a public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zeb::store {

// Blanks, tabs and CR, the characters a key and a value are trimmed of.
std::string_view trim(std::string_view text);

// A key may be written back and read again unchanged: not empty, no '=', no line break or other
// control character, no blank at either end, and not starting with '#'.
bool valid_key(std::string_view key);
// A value may not hold a line break or other control character except a tab.
bool valid_value(std::string_view value);

// Whole decimal integers and floats only: the text must be consumed completely. 0, -EINVAL for
// malformed text (including an empty one), -ERANGE for a value that does not fit. Floats must be
// finite.
int parse_int32(std::string_view text, int32_t &out);
int parse_int64(std::string_view text, int64_t &out);
int parse_float(std::string_view text, float &out);

class StoreFile {
  public:
    // Splits text into lines. Lines that are neither blank, a comment nor "key = value" with a
    // non-empty key are kept as they are and ignored; their 1-based numbers are listed in
    // malformed() so a caller that wants a strict file can refuse them.
    static StoreFile parse(std::string_view text);

    std::optional<std::string_view> get(std::string_view key) const;
    // Replaces the last line of the key with "key = value", or appends that line. The value is
    // trimmed like a parsed one.
    void set(std::string_view key, std::string_view value);
    // Every "key = value" line in file order, shadowed ones included.
    std::vector<std::pair<std::string_view, std::string_view>> entries() const;
    const std::vector<std::size_t> &malformed() const { return malformed_; }
    // The file's text: every line followed by '\n'.
    std::string render() const;

  private:
    struct Line {
        std::string raw;
        std::string key;  // empty for comments, blanks and ignored lines
        std::string value;
    };
    std::vector<Line> lines_;
    std::unordered_map<std::string, std::size_t> last_;  // key -> index of its last line
    std::vector<std::size_t> malformed_;
};

// Reads a whole regular file, following symbolic links. 0, or -errno: -ENOENT for a missing
// file, -EISDIR for a directory, -EINVAL for anything else that is not a regular file (a FIFO,
// a device, a socket: refused without blocking), -EFBIG above 16 MiB.
int read_file(const std::string &path, std::string &out);

// What is wrong with a file that read_file refused, in words that follow its name: "does not
// exist", "is not a regular file", "is larger than 16 MiB", "cannot be read".
const char *file_problem(int rc);

// Replaces the file so that a crash at any moment leaves the old or the new content: writes a
// new temporary file "<path>.tmp.<random>" (created exclusively, so nothing planted in the
// directory is followed or overwritten), fsyncs it, renames it over path and fsyncs the
// directory. A symbolic link at path is replaced, never followed. The file keeps the permission
// bits of the regular file it replaces (0644 less the umask for a new one). 0, or -errno; on
// failure the old file is untouched and the temporary one removed.
int write_file_atomically(const std::string &path, std::string_view content);

}  // namespace zeb::store
