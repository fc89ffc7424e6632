// Shell commands for the install and packaging tests: a quoted word and a command line's status
// and output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kor_test {

struct ShellResult {
    int status = -1;
    std::string out;  // standard output and error together
};

inline std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// runner goes before the shell, e.g. "env -u LD_LIBRARY_PATH ".
inline ShellResult shell(const std::string &command, const std::string &runner = "") {
    ShellResult r;
    FILE *p = ::popen((runner + "sh -c " + shell_quote(command) + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        r.out.append(buf, n);
    }
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace kor_test
