// The store text format and the atomic rewrite, shared by the configuration store, the
// statistics store and the fault manager. Parsing keeps every line so a rewrite disturbs nothing
// but the key it sets; numbers are parsed with std::from_chars over the whole trimmed value, so
// "12abc" is an error rather than 12.
#include "zeb_store_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <system_error>
#include <utility>

#include "zeb_unique_fd.hpp"

namespace zeb::store {

namespace {

constexpr std::size_t kMaxFileSize = 16u << 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

using zeb::retry_eintr;
using zeb::UniqueFd;

std::string directory_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Twelve characters from the kernel's random source: a temporary name nobody can guess.
std::string random_suffix() {
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[12] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // cannot happen once the pool is up; O_EXCL still keeps the open safe
        }
        got += static_cast<std::size_t>(n);
    }
    std::string out;
    for (unsigned char b : bytes) {
        out += kDigits[b % (sizeof kDigits - 1)];
    }
    return out;
}

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = retry_eintr([&] { return ::write(fd, data.data(), data.size()); });
        if (n < 0) {
            return -errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

template <typename T>
int parse_whole(std::string_view text, T &out) {
    if (text.empty()) {
        return -EINVAL;
    }
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        return -ERANGE;
    }
    if (ec != std::errc() || end != text.data() + text.size()) {
        return -EINVAL;
    }
    out = value;
    return 0;
}

}  // namespace

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool valid_key(std::string_view key) {
    if (key.empty() || key.front() == '#' || trim(key).size() != key.size()) {
        return false;
    }
    for (char c : key) {
        if (c == '=' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

bool valid_value(std::string_view value) {
    for (char c : value) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
            return false;
        }
    }
    return true;
}

int parse_int32(std::string_view text, int32_t &out) {
    return parse_whole(text, out);
}

int parse_int64(std::string_view text, int64_t &out) {
    return parse_whole(text, out);
}

int parse_float(std::string_view text, float &out) {
    float value = 0.0f;
    int rc = parse_whole(text, value);
    if (rc != 0) {
        return rc;
    }
    if (!std::isfinite(value)) {
        return -EINVAL;  // "nan" and "inf" are no settings
    }
    out = value;
    return 0;
}

StoreFile StoreFile::parse(std::string_view text) {
    StoreFile file;
    std::size_t number = 0;
    while (!text.empty()) {
        auto nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;

        Line line{std::string(raw), {}, {}};
        std::string_view body = trim(raw);
        if (!body.empty() && body.front() != '#') {
            auto eq = body.find('=');
            std::string_view key = eq == std::string_view::npos ? "" : trim(body.substr(0, eq));
            if (key.empty()) {
                file.malformed_.push_back(number);
            } else {
                line.key = std::string(key);
                line.value = std::string(trim(body.substr(eq + 1)));
                file.last_[line.key] = file.lines_.size();
            }
        }
        file.lines_.push_back(std::move(line));
    }
    return file;
}

std::optional<std::string_view> StoreFile::get(std::string_view key) const {
    auto it = last_.find(std::string(key));
    if (it == last_.end()) {
        return std::nullopt;
    }
    return std::string_view(lines_[it->second].value);
}

void StoreFile::set(std::string_view key, std::string_view value) {
    // A value read back is trimmed, so it is written trimmed: own reads and reopened stores agree.
    std::string k(key);
    std::string v(trim(value));
    Line line{k + " = " + v, k, v};
    if (auto it = last_.find(k); it != last_.end()) {
        lines_[it->second] = std::move(line);
        return;
    }
    last_[k] = lines_.size();
    lines_.push_back(std::move(line));
}

std::vector<std::pair<std::string_view, std::string_view>> StoreFile::entries() const {
    std::vector<std::pair<std::string_view, std::string_view>> out;
    for (const auto &line : lines_) {
        if (!line.key.empty()) {
            out.emplace_back(line.key, line.value);
        }
    }
    return out;
}

std::string StoreFile::render() const {
    std::string out;
    for (const auto &line : lines_) {
        out += line.raw;
        out += '\n';
    }
    return out;
}

int read_file(const std::string &path, std::string &out) {
    // A store is a regular file. Anything else (a FIFO would block the open for ever, a device
    // may act on being opened) is refused before it is opened; the non-blocking open and the
    // check of the opened descriptor close the gap of a file swapped in between. Symbolic links
    // are followed: an installation may keep its stores elsewhere.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return S_ISDIR(st.st_mode) ? -EISDIR : -EINVAL;
    }
    UniqueFd fd(retry_eintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
    if (!fd) {
        return -errno;
    }
    if (::fstat(fd.get(), &st) != 0) {
        return -errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return S_ISDIR(st.st_mode) ? -EISDIR : -EINVAL;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize) {
        return -EFBIG;
    }
    std::string data;
    char buffer[8192];
    for (;;) {
        ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) {
            return -errno;
        }
        if (n == 0) {
            break;
        }
        if (data.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
            return -EFBIG;  // grew while being read
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    out = std::move(data);
    return 0;
}

const char *file_problem(int rc) {
    switch (rc) {
        case -ENOENT:
            return "does not exist";
        case -EISDIR:
        case -EINVAL:
            return "is not a regular file";
        case -EFBIG:
            return "is larger than 16 MiB";
        default:
            return "cannot be read";
    }
}

int write_file_atomically(const std::string &path, std::string_view content) {
    // The file being replaced lends its permissions (never more: the set-id bits stay off); a new
    // file gets 0644 less the umask from the open itself.
    std::optional<mode_t> keep;
    if (struct stat st{}; ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        keep = st.st_mode & 0777;
    }
    // The temporary file has a name nobody can guess and is created, never opened: whatever
    // somebody put in the directory beforehand (a symbolic link to a file to be overwritten, a
    // directory to make the write fail) is not touched.
    std::string tmp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        tmp = path + ".tmp." + random_suffix();
        fd.reset(retry_eintr([&] {
            return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          keep ? *keep : 0644);
        }));
        if (!fd && errno != EEXIST) {
            return -errno;
        }
    }
    if (!fd) {
        return -EEXIST;
    }
    int rc = write_all(fd.get(), content);
    if (rc == 0 && keep && ::fchmod(fd.get(), *keep) != 0) {
        rc = -errno;  // the umask of the open may have taken bits the old file had
    }
    if (rc == 0 && ::fsync(fd.get()) != 0) {
        rc = -errno;
    }
    if (int closed = fd.close_checked(); rc == 0) {
        rc = closed;
    }
    if (rc == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) {
        rc = -errno;
    }
    if (rc != 0) {
        ::unlink(tmp.c_str());
        return rc;
    }
    // The rename is durable only once the directory entry itself is on disk.
    UniqueFd dir(retry_eintr(
        [&] { return ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir) {
        return -errno;
    }
    if (::fsync(dir.get()) != 0 && errno != EINVAL) {
        return -errno;  // EINVAL: a file system that cannot sync directories
    }
    return 0;
}

}  // namespace zeb::store
