// The active faults from the fault manager's list file.
#include "webui_faults.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "zeb_unique_fd.hpp"

namespace kor_webui {

std::vector<ActiveFault> parse_fault_list(std::string_view text) {
    std::vector<ActiveFault> out;
    while (!text.empty() && out.size() < kMaxFaults) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t tab1 = line.find('\t');
        const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos) {
            continue;
        }
        std::int64_t code = 0;
        const auto [at, ec] = std::from_chars(line.data(), line.data() + tab1, code);
        if (ec != std::errc() || at != line.data() + tab1 || code < 1 || code > 65535) {
            continue;
        }
        out.push_back({code, std::string(line.substr(tab2 + 1)),
                       std::string(line.substr(tab1 + 1, tab2 - tab1 - 1))});
    }
    return out;
}

int read_fault_list(const std::string &path, std::vector<ActiveFault> &out) {
    // O_NONBLOCK: a FIFO put in the file's place must not stop the console.
    const zeb::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) {
            out.clear();
            return 0;
        }
        return -1;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    // The manager replaces the list whole (a rename), so the file opened keeps the size it has.
    std::string text(std::min(static_cast<std::size_t>(info.st_size), kMaxFileBytes), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = zeb::retry_eintr(
            [&] { return ::read(fd.get(), text.data() + got, text.size() - got); });
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    out = parse_fault_list(text);
    return 0;
}

}  // namespace kor_webui
