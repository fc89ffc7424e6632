// IO board firmware update: reads a firmware file and sends it to the board with the CPI block
// transfer of the link, the image as file 1 in blocks of up to 247 bytes and then its last four
// bytes as the file 2 trailer. Owns the update logger and, during an update, the open file.
//
// The board checks the image against the trailer, so the trailer is always the file's own last
// four bytes, whichever blocks they fell into, and a file too short to have one is refused before
// the board hears anything. The file is opened without blocking, so a name that leads to a FIFO
// is refused by the regular-file check instead of holding the caller in its open. The link leaves
// CPI mode at the end of every update, whatever
// happened, or its polling would stay paused for good.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "kor_io_board_update.h"
#include "kor_io_board_update_private.hpp"
#include "kor_modbus.h"
#include "zeb_logger.h"

namespace {

constexpr const char *kModule = "kor_io_board_update";
constexpr const char *kFile = "kor_io_board_update";
constexpr int32_t kBlockSize = KOR_BOARD_UPDATE_BLOCK_SIZE;
constexpr int32_t kTrailerSize = 4;
constexpr uint16_t kImageFile = 1;
constexpr uint16_t kTrailerFile = 2;
// Block numbers are 16 bits on the wire.
constexpr int64_t kMaxImageBytes = int64_t{0x10000} * kBlockSize;
constexpr int32_t kDefaultWaitMs = 1000;

std::atomic<int32_t> g_wait_ms{kDefaultWaitMs};

std::mutex g_logger_lock;
zeb_logger_t *g_logger = nullptr;

// The update logger; opened on first use when the caller skipped kor_board_update_init.
zeb_logger_t *logger() {
    std::lock_guard lock(g_logger_lock);
    if (g_logger == nullptr) {
        zeb_logger_open(&g_logger);
    }
    return g_logger;
}

#define UPDATE_LOG(level, ...) zeb_logger_log(logger(), (level), kModule, __VA_ARGS__)

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using FileOwner = std::unique_ptr<FILE, FileCloser>;

// Opens path for reading without blocking on a FIFO or becoming a device's controlling terminal;
// null with errno set when it cannot. O_NONBLOCK changes nothing for a regular file's reads.
FILE *open_image(const char *path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    FILE *file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return file;
}

void wait_for_board() {
    const int32_t ms = g_wait_ms.load();
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// The last four bytes seen so far, across blocks of any length.
class Tail {
  public:
    void push(const uint8_t *bytes, int32_t count) {
        for (int32_t i = 0; i < count; ++i) {
            std::copy(bytes_.begin() + 1, bytes_.end(), bytes_.begin());
            bytes_.back() = bytes[i];
        }
        seen_ += count;
    }
    bool complete() const { return seen_ >= kTrailerSize; }
    const uint8_t *data() const { return bytes_.data(); }

  private:
    std::array<uint8_t, kTrailerSize> bytes_{};
    int64_t seen_ = 0;
};

struct Progress {
    kor_board_update_progress_fn fn;
    void *user;
    int32_t blocks_total;
    int64_t bytes_total;

    void report(int32_t blocks_sent, int64_t bytes_sent) const {
        if (fn != nullptr) {
            fn(user, blocks_sent, blocks_total, bytes_sent, bytes_total);
        }
    }
};

// Refuses what cannot make a whole update before the board hears anything: a file that is not a
// regular file, one too short to carry its trailer, one whose blocks would not fit the block
// numbers. The file's size, or -1 with *err set.
int64_t checked_size(FILE *file, const char *path, int *err) {
    struct stat st {};
    if (fstat(fileno(file), &st) != 0) {
        *err = errno;
        UPDATE_LOG(ZEB_LOG_ERR, "Failed to read size of file:%s - errno:%d", path, *err);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = EINVAL;
        UPDATE_LOG(ZEB_LOG_ERR, "Update file:%s is not a regular file", path);
        return -1;
    }
    const int64_t size = st.st_size;
    if (size < kTrailerSize) {
        *err = EINVAL;
        UPDATE_LOG(ZEB_LOG_ERR,
                   "Update file:%s too short - %lld bytes, a firmware file has at least %d", path,
                   static_cast<long long>(size), kTrailerSize);
        return -1;
    }
    if (size > kMaxImageBytes) {
        *err = EFBIG;
        UPDATE_LOG(ZEB_LOG_ERR, "Update file:%s too large - %lld bytes, at most %lld fit", path,
                   static_cast<long long>(size), static_cast<long long>(kMaxImageBytes));
        return -1;
    }
    return size;
}

// Steps 3 to 5 of an update: CPI mode, the image blocks, the trailer. 0 or -1 with *err set.
int send_file(modbus_data_t *ctx, FILE *file, const char *path, Progress progress, int *err) {
    const int64_t size = checked_size(file, path, err);
    if (size < 0) {
        return -1;
    }
    progress.bytes_total = size;
    progress.blocks_total = static_cast<int32_t>((size + kBlockSize - 1) / kBlockSize) + 1;

    kor_modbus_start_cpi_file_transfer(ctx);
    wait_for_board();

    uint8_t block[kBlockSize];
    Tail tail;
    int32_t number = 0;
    int64_t bytes_sent = 0;
    for (;;) {
        int32_t count = 0;
        if (kor_board_update_read_file_block(file, block, kBlockSize, &count) != 0) {
            *err = errno;
            return -1;
        }
        // A file of whole blocks ends with a read of nothing: there is no empty block to send.
        if (count > 0) {
            if (number > 0xFFFF) {  // the file grew while it was being sent
                *err = EFBIG;
                UPDATE_LOG(ZEB_LOG_ERR, "Update file:%s grew beyond %lld bytes", path,
                           static_cast<long long>(kMaxImageBytes));
                return -1;
            }
            if (kor_modbus_transfer_cpi_block(ctx, block, count, kImageFile,
                                              static_cast<uint16_t>(number)) != 0) {
                *err = errno;
                return -1;
            }
            ++number;
            bytes_sent += count;
            tail.push(block, count);
            progress.report(number, bytes_sent);
        }
        if (count < kBlockSize) {
            UPDATE_LOG(ZEB_LOG_INFO, "File 1 EOF detected! Transfer complete.");
            break;
        }
    }
    if (!tail.complete()) {  // the file shrank after its size was checked
        *err = EINVAL;
        UPDATE_LOG(ZEB_LOG_ERR,
                   "Update file:%s too short - %lld bytes, a firmware file has at least %d", path,
                   static_cast<long long>(bytes_sent), kTrailerSize);
        return -1;
    }

    wait_for_board();
    if (kor_modbus_transfer_cpi_block(ctx, tail.data(), kTrailerSize, kTrailerFile, 0) != 0) {
        *err = errno;
        return -1;
    }
    UPDATE_LOG(ZEB_LOG_INFO, "File 2 EOF detected! Transfer complete.");
    progress.report(number + 1, bytes_sent);
    return 0;
}

}  // namespace

extern "C" void kor_board_update_set_wait_ms(int32_t ms) {
    g_wait_ms.store(ms < 0 ? kDefaultWaitMs : ms);
}

extern "C" int kor_board_update_init(void) {
    return logger() != nullptr ? 0 : -1;
}

extern "C" int kor_board_update_read_file_block(FILE *file, uint8_t *buffer, int32_t size,
                                                int32_t *count) {
    if (file == nullptr || buffer == nullptr || size <= 0 || count == nullptr) {
        UPDATE_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, __LINE__);
        errno = EINVAL;
        return -1;
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    errno = 0;
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(size), file);
    const int read_errno = errno;
    *count = static_cast<int32_t>(got);
    UPDATE_LOG(ZEB_LOG_INFO, "Read %d bytes from file.", static_cast<int>(got));
    if (got == static_cast<size_t>(size)) {
        return 0;
    }
    if (std::ferror(file) == 0 && std::feof(file) != 0) {
        UPDATE_LOG(ZEB_LOG_INFO, "End of file reached.");
        return 0;
    }
    UPDATE_LOG(ZEB_LOG_ERR, "ERROR reading file. errno:%d", read_errno);
    errno = read_errno != 0 ? read_errno : EIO;
    return -1;
}

extern "C" int kor_board_update_transfer_file_to_io_board_progress(
    modbus_data_t *ctx, const char *path, kor_board_update_progress_fn progress, void *user) {
    if (ctx == nullptr || path == nullptr) {
        UPDATE_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kFile, __LINE__);
        errno = EINVAL;
        return -1;
    }
    UPDATE_LOG(ZEB_LOG_INFO, "Performing IO Board update - file:%s", path);
    int ret = -1;
    int err = 0;
    FileOwner file(open_image(path));
    if (!file) {
        err = errno;
        UPDATE_LOG(ZEB_LOG_ERR, "Failed to open file:%s - errno:%d", path, err);
    } else {
        ret = send_file(ctx, file.get(), path, Progress{progress, user, 0, 0}, &err);
    }
    kor_modbus_end_cpi_file_transfer(ctx);
    file.reset();
    if (ret != 0) {
        UPDATE_LOG(ZEB_LOG_ERR, "Failed to apply IO Boared update! ret: %d - errno:%d", ret, err);
    }
    errno = err;
    return ret;
}

extern "C" int kor_board_update_transfer_file_to_io_board(modbus_data_t *ctx, const char *path) {
    return kor_board_update_transfer_file_to_io_board_progress(ctx, path, nullptr, nullptr);
}
