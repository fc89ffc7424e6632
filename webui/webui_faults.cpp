// The active faults from the fault manager's list file.
#include "webui_faults.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            out.clear();
            return 0;
        }
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    std::string text(kMaxFileBytes, '\0');
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
        if (got == text.size()) {
            break;
        }
    }
    ::close(fd);
    text.resize(got);
    out = parse_fault_list(text);
    return 0;
}

}  // namespace kor_webui
