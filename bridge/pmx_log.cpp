// The bridges' log file (see pmx_log.h). Owns the one open log stream and the lock that keeps the
// lines of the bridge's threads whole.
//
// The log lives at a fixed, guessable path in a folder every user may write (/tmp), and the
// bridges run as root: whatever waits at the path may have been put there by someone else. The
// file is therefore opened without following a symlink, without blocking on a FIFO and without
// emptying anything before it is known to be the bridge's own earlier log: a regular file of this
// user with no other name. Anything else loses its name at the path (the object it points to or
// shares its data with stays as it is) and a new file is made exclusively; when even that fails
// the bridge says so on stderr and runs without its log.
#include "pmx_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex log_lock;
std::FILE *log_file = nullptr;

constexpr int kOpenFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr mode_t kLogMode = 0644;

// Our own earlier log: emptied and reused.
bool reusable(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// A descriptor of a fresh or emptied log file at path, or -1 with errno.
int open_log(const char *path) {
    int fd = open(path, kOpenFlags | O_CREAT, kLogMode);
    if (fd >= 0 && reusable(fd)) {
        if (ftruncate(fd, 0) == 0) {
            return fd;
        }
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (fd >= 0) {
        close(fd);
    } else if (errno != ELOOP && errno != ENXIO && errno != EISDIR && errno != EACCES &&
               errno != EPERM) {
        return -1;  // nothing at the path is in the way (a missing folder, a full disk)
    }
    // Something else holds the name: a symlink (ELOOP), a FIFO without reader (ENXIO), a file
    // of another user or with other names. Removing the name leaves what it led to alone.
    if (unlink(path) != 0) {
        return -1;
    }
    // Exclusive: whatever appears at the path in the meantime is not ours to use.
    return open(path, kOpenFlags | O_CREAT | O_EXCL, kLogMode);
}

}  // namespace

extern "C" int pmx_log_open(const char *path) {
    std::lock_guard lock(log_lock);
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
    if (path == nullptr) {
        return -1;
    }
    const int fd = open_log(path);
    if (fd >= 0) {
        // Lines are plain blocking writes from here on.
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) {
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
        log_file = fdopen(fd, "w");
        if (log_file == nullptr) {
            close(fd);
        }
    }
    if (log_file == nullptr) {
        std::fprintf(stderr, "Cannot open the log file %s (%s), running without it\n", path,
                     std::strerror(errno));
        return -1;
    }
    return 0;
}

extern "C" void pmx_log_close(void) {
    std::lock_guard lock(log_lock);
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
}

extern "C" void pmx_printf(const char *format, ...) {
    if (format == nullptr) {
        return;
    }
    std::lock_guard lock(log_lock);
    if (log_file == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log_file, format, args);
    va_end(args);
    std::fputc('\n', log_file);
    std::fflush(log_file);
}
