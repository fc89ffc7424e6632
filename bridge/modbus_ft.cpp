// Modbus file transfer of the master bridges (see modbus_ft.h). Owns nothing beyond one call:
// the file it opens and the request it builds; the libmodbus context stays the caller's.
//
// A block counts as sent once the slave has confirmed it. The line is flushed before every
// request, so a confirmation that comes too late for its own block is never taken for the next
// one's. A block that fails goes again with the same index and the same data (nothing is read
// twice from the file): the slave takes a repeated block as a replacement of the first copy.
#include "modbus_ft.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "pmx_log.h"

namespace {

constexpr uint8_t kSlave = 1;
constexpr int kMaxRetries = 3;  // a block goes out at most four times
constexpr long kMaxBlocks = 65536;
constexpr uint8_t kExceptionBit = 0x80;
constexpr int kExceptionReplySize = 5;

std::atomic<int32_t> block_pause_ms{100};

struct FileClose {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FileOwner = std::unique_ptr<std::FILE, FileClose>;

// Reads the slave's answer to the block whose header is given: 0 when it is the confirmation of
// that block, -1 (errno set) for silence, an exception, a bad CRC or a confirmation of
// something else.
int await_confirmation(modbus_t *ctx, const uint8_t *header) {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    if (modbus_get_response_timeout(ctx, &seconds, &micros) != 0) {
        seconds = 1;
        micros = 0;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline =
        clock::now() + std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
    const int fd = modbus_get_socket(ctx);
    uint8_t reply[MODBUS_FT_REPLY_SIZE] = {};
    int wanted = MODBUS_FT_REPLY_SIZE;
    int got = 0;
    while (got < wanted) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, reply + got, static_cast<size_t>(wanted - got));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        got += static_cast<int>(n);
        if (got >= 2 && (reply[1] & kExceptionBit) != 0) {
            wanted = kExceptionReplySize;
        }
    }
    const uint16_t crc = modbus_ft_calculate_crc(reply, wanted - 2);
    if (reply[wanted - 2] != (crc & 0xFFu) || reply[wanted - 1] != (crc >> 8)) {
        errno = EMBBADCRC;
        return -1;
    }
    if (wanted != MODBUS_FT_REPLY_SIZE) {
        errno = EMBXILFUN;  // the slave refused the request with an exception
        return -1;
    }
    if (std::memcmp(reply, header, MODBUS_FT_HEADER_SIZE) != 0) {
        errno = EMBBADDATA;
        return -1;
    }
    return 0;
}

// One attempt at a block: the libmodbus send result, or -1 when it was not confirmed.
int send_block(modbus_t *ctx, const uint8_t *request, int length) {
    modbus_flush(ctx);
    const int sent = modbus_send_raw_request(ctx, request, length);
    if (sent < 0) {
        return sent;
    }
    return await_confirmation(ctx, request) == 0 ? sent : -1;
}

}  // namespace

extern "C" void modbus_ft_set_block_pause_ms(int32_t milliseconds) {
    block_pause_ms.store(milliseconds < 0 ? 0 : milliseconds);
}

extern "C" uint16_t modbus_ft_calculate_crc(const uint8_t *data, int length) {
    uint16_t crc = 0xFFFF;
    if (data == nullptr) {
        return crc;
    }
    for (int i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                                  : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

namespace {
// Opened without blocking: a FIFO or a device named as the image must not hold the bridge in
// open(); the regular-file check below turns it away.
FILE *open_image(const char *path) {
    if (path == nullptr) {
        return nullptr;
    }
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    FILE *file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
}
}  // namespace

extern "C" int modbus_ft_write_file(modbus_t *ctx, int fileID, const char *filePath) {
    FileOwner file(open_image(filePath));
    if (!file || ctx == nullptr) {
        pmx_printf("Failed to open file: %s", filePath != nullptr ? filePath : "(null)");
        return -1;
    }
    // Only a regular file has a size to split into blocks; a directory opens but reads nothing.
    struct stat info;
    long size = -1;
    if (::fstat(::fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) &&
        std::fseek(file.get(), 0, SEEK_END) == 0) {
        size = std::ftell(file.get());
    }
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        pmx_printf("FW Update Failed to read data from file");
        return -2;
    }
    // Rounded up: the last block carries whatever is left, however short.
    const long blocks = (size + MODBUS_FT_BLOCK_SIZE - 1) / MODBUS_FT_BLOCK_SIZE;
    pmx_printf("FT file size: %f, numblocks: %d", static_cast<double>(static_cast<float>(size)),
               static_cast<int>(blocks));
    if (blocks > kMaxBlocks) {
        pmx_printf("FT file too large: %ld bytes, at most %ld blocks of %d", size, kMaxBlocks,
                   MODBUS_FT_BLOCK_SIZE);
        return -1;
    }

    uint8_t request[MODBUS_FT_HEADER_SIZE + MODBUS_FT_BLOCK_SIZE];
    long remaining = size;
    long index = 0;
    int retries = 0;
    bool have_data = false;
    while (index < blocks) {
        const int length =
            remaining >= MODBUS_FT_BLOCK_SIZE ? MODBUS_FT_BLOCK_SIZE : static_cast<int>(remaining);
        if (!have_data) {
            request[0] = kSlave;
            request[1] = MODBUS_FT_FUNCTION;
            request[2] = 0;
            request[3] = static_cast<uint8_t>(fileID & 0xFF);
            request[4] = static_cast<uint8_t>((index >> 8) & 0xFF);
            request[5] = static_cast<uint8_t>(index & 0xFF);
            if (std::fread(request + MODBUS_FT_HEADER_SIZE, 1, static_cast<size_t>(length),
                           file.get()) != static_cast<size_t>(length)) {
                pmx_printf("FW Update Failed to read data from file");
                return -2;
            }
            have_data = true;
        }
        const int result = send_block(ctx, request, MODBUS_FT_HEADER_SIZE + length);
        if (result >= 0) {
            const int32_t pause = block_pause_ms.load();
            if (pause > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause));
            }
            ++index;
            remaining -= length;
            retries = 0;
            have_data = false;
            continue;
        }
        if (retries >= kMaxRetries) {
            pmx_printf("FW Update raw request error: %d", result);
            return -3;
        }
        ++retries;
        pmx_printf("FW Update retry block %d, retry: %d", static_cast<int>(index), retries);
    }
    return static_cast<int>(blocks);
}
