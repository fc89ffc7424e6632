// ioboard_console: a service console that reads and writes IO board registers through the board
// link (libkor_iocomms) and flashes new IO board firmware, one command a line on standard input.
// Owns the link context and its call table for its whole run.
//
// The link queues writes and sends them on its write thread, and stopping the link drops what is
// still queued. So that a write typed (or piped) just before the quit still reaches the board, the
// console counts the writes the link has finished through its call table and lets the queue drain
// before it releases the link.
//
// Messages go to standard output, line-buffered. On a terminal a firmware update shows its
// progress on one line; to a pipe or file only the fixed messages are printed.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "console_line.hpp"
#include "kor_io_board_update.h"
#include "kor_modbus.h"

namespace {

constexpr std::size_t kMaxDevice = 31;
constexpr std::size_t kMaxLine = 255;
constexpr int32_t kSlaveId = 1;
constexpr int32_t kResponseTimeoutMs = 1500;
constexpr int32_t kPollPeriodMs = 500;
constexpr int32_t kRetryCount = 3;
// How long the quit waits for the write queue when the link makes no progress: one write's
// attempts and time-outs, and a margin.
constexpr auto kDrainStall = std::chrono::milliseconds(kRetryCount * kResponseTimeoutMs + 1000);

// Writes the link has finished, counted in its write_register slot. Only the link's write thread
// calls the slot, one queued write at a time: a write is finished by its first success or by its
// last failed attempt.
std::atomic<int64_t> g_writes_done{0};
std::atomic<int32_t> g_failed_attempts{0};
int (*g_write_register)(mbs_ctx_t *, int, uint32_t) = nullptr;

int counting_write_register(mbs_ctx_t *ctx, int address, uint32_t value) {
    const int result = g_write_register(ctx, address, value);
    if (result == 1) {
        g_failed_attempts = 0;
        ++g_writes_done;
    } else if (++g_failed_attempts >= kRetryCount) {
        g_failed_attempts = 0;
        ++g_writes_done;
    }
    return result;
}

struct FreeTable {
    void operator()(modbus_interface_t *table) const { std::free(table); }
};
using TableOwner = std::unique_ptr<modbus_interface_t, FreeTable>;

void print_options(bool help) {
    std::puts("\nOptions:");
    std::puts(help ? "Read usage:  r <addr> <enter>" : "Read usage: r <addr> <enter>");
    std::puts("Write usage: w <addr> <val> <enter>");
    std::puts("Update Board: u <file_name> <enter>");
    std::puts("Print options: h");
    std::puts("Quit: ! <enter>\n");
}

struct Progress {
    std::chrono::steady_clock::time_point start;
    bool shown = false;
};

void show_progress(void *user, int32_t blocks_sent, int32_t blocks_total, int64_t bytes_sent,
                   int64_t bytes_total) {
    auto *progress = static_cast<Progress *>(user);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - progress->start).count();
    const int percent = bytes_total > 0 ? static_cast<int>(bytes_sent * 100 / bytes_total) : 100;
    const auto rate =
        seconds > 0 ? static_cast<int64_t>(static_cast<double>(bytes_sent) / seconds) : int64_t{0};
    // Padding wipes what a longer earlier line (or a frame dump) left on the line.
    std::printf("\r%" PRId32 "/%" PRId32 " blocks  %3d%%  %" PRId64 " bytes/s        ", blocks_sent,
                blocks_total, percent, rate);
    std::fflush(stdout);
    progress->shown = true;
}

int update_board(modbus_data_t *ctx, const std::string &file) {
    if (isatty(STDOUT_FILENO) == 0) {
        return kor_board_update_transfer_file_to_io_board(ctx, file.c_str());
    }
    Progress progress{std::chrono::steady_clock::now()};
    const int result = kor_board_update_transfer_file_to_io_board_progress(
        ctx, file.c_str(), show_progress, &progress);
    const int err = errno;
    if (progress.shown) {
        std::putchar('\n');
    }
    errno = err;
    return result;
}

// Lets the writes queued so far reach the board; gives up when the link stops making progress.
void drain_writes(int64_t queued) {
    auto last_progress = std::chrono::steady_clock::now();
    int64_t done = g_writes_done;
    while (done < queued) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int64_t now_done = g_writes_done;
        if (now_done != done) {
            done = now_done;
            last_progress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - last_progress > kDrainStall) {
            std::printf("%" PRId64 " queued writes were not sent\n", queued - done);
            return;
        }
    }
}

void run_commands(modbus_data_t *ctx, const modbus_interface_t &table) {
    int64_t writes_queued = 0;
    std::string line;
    for (;;) {
        const kor_console::LineStatus status = kor_console::read_line(stdin, kMaxLine, line);
        if (status == kor_console::LineStatus::end_of_input) {
            break;  // a closed input ends the session like a quit
        }
        if (status == kor_console::LineStatus::too_long) {
            std::printf("Input line too long, max is %zu characters\n", kMaxLine);
            continue;
        }
        const kor_console::Command command = kor_console::decode_command(line, "rwuh!");
        if (command.kind == kor_console::CommandKind::invalid) {
            std::puts("Invalid input");
            continue;
        }
        if (command.kind == kor_console::CommandKind::quit) {
            break;
        }
        if (command.refusal) {
            std::printf("%s\n", command.refusal->c_str());
            continue;
        }
        switch (command.kind) {
            case kor_console::CommandKind::read: {
                uint16_t value = 0;
                if (kor_modbus_read_holding_register(ctx, static_cast<uint32_t>(command.address),
                                                     &value) == 0) {
                    std::printf("read 0x%02X (%d) from %d\n", value, value, command.address);
                } else {
                    const int err = errno;
                    std::printf("read from %d failed - errno %d : %s\n", command.address, err,
                                table.strerror(err));
                }
                break;
            }
            case kor_console::CommandKind::write: {
                const auto value = static_cast<uint16_t>(command.value);
                const int result = kor_modbus_write_holding_register(
                    ctx, static_cast<uint32_t>(command.address), value);
                if (result == 0) {
                    ++writes_queued;
                    std::printf("wrote 0x%02X (%d) to %d\n", value, value, command.address);
                } else {
                    const int err = errno;
                    std::printf("write to %d failed - errno %d : %s\n", command.address, err,
                                table.strerror(err));
                }
                break;
            }
            case kor_console::CommandKind::update: {
                std::printf("Updating IO with firmware %s\n", command.file.c_str());
                const int result = update_board(ctx, command.file);
                if (result == 0) {
                    std::puts("IO Board successfully updated!");
                } else {
                    const int err = errno;
                    std::printf("update failed - ret %d - errno %d : %s\n", result, err,
                                table.strerror(err));
                }
                break;
            }
            case kor_console::CommandKind::help:
                print_options(true);
                break;
            default:
                break;
        }
    }
    drain_writes(writes_queued);
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::puts("COM Port Test.\nUsage: test /dev/device");
        return -1;
    }
    const char *device = argv[1];
    if (std::strlen(device) > kMaxDevice) {
        std::printf("device string too long, max is %zu\n", kMaxDevice);
        return -1;
    }

    // The link's own libmodbus table, with the write slot counted (see the top of this file).
    TableOwner table(kor_create_modbus_instance());
    if (!table) {
        std::printf("Failed to connect to modbus - ret:%d - errno:%d\n", -1, ENOMEM);
        return -1;
    }
    g_write_register = table->write_register;
    table->write_register = counting_write_register;

    modbus_data_t *ctx = nullptr;
    int result = kor_modbus_init(&ctx, device, kSlaveId, kResponseTimeoutMs, kPollPeriodMs,
                                 kRetryCount, 1, table.get());
    if (result != 0) {
        std::printf("Failed to connect to modbus - ret:%d - errno:%d\n", result, errno);
        return -1;
    }
    result = kor_board_update_init();
    if (result != 0) {
        std::printf("Failed to initialize update API - ret:%d - errno:%d\n", result, errno);
        kor_modbus_free(ctx);
        return -1;
    }
    print_options(false);

    run_commands(ctx, *table);
    kor_modbus_free(ctx);
    return 0;
}
