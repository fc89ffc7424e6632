// Benchmark of the IO board firmware update: sends a 64 KiB image to the virtual IO board at
// 57600 baud with kor_board_update_transfer_file_to_io_board and compares the payload rate
// reached with the most the line could carry for the same frames.
//
// The virtual board delays each reply by its wire time (--baud), but a pseudo-terminal hands a
// request over at once, where a real UART needs its wire time before the reply can even start
// (the link's receive waits for the output to drain). So the benchmark's link holds each request
// for its wire time, CRC included, before handing it over: the board sees it complete when its
// last byte would have arrived. The update's two fixed one-second waits are set to zero: they are
// the board's time, not the line's.
//
// Usage: bench_cpi_transfer [--sim PATH] [--size BYTES]
// (default: kor_ioboard_sim beside this program, 65536 bytes).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kor_io_board_update.h"
#include "kor_io_board_update_private.hpp"
#include "kor_modbus.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kBaud = 57600;
constexpr double kBitsPerByte = 10.0;  // 8N1
constexpr double kLineBytesPerSecond = kBaud / kBitsPerByte;
constexpr int kRtuCrc = 2;

// The real send slot, and the request bytes and wire time it has carried.
int (*g_real_send)(mbs_ctx_t *, const uint8_t *, int) = nullptr;
long long g_request_bytes = 0;

int send_at_line_speed(mbs_ctx_t *ctx, const uint8_t *request, int length) {
    // The board can only act on a request once its last byte has arrived: the bytes spend their
    // wire time on the line first, then the pseudo-terminal delivers them whole.
    const long long on_wire = length + kRtuCrc;
    std::this_thread::sleep_for(std::chrono::microseconds(
        static_cast<long long>(static_cast<double>(on_wire) * kBitsPerByte * 1e6 / kBaud)));
    const int result = g_real_send(ctx, request, length);
    if (result > 0) {
        g_request_bytes += on_wire;
    }
    return result;
}

// The virtual board as a child process, stopped with SIGTERM when this goes.
class Board {
  public:
    Board(const std::string &program, const fs::path &dir, const std::string &firmware_out)
        : link_((dir / "ttyIO").string()) {
        pid_ = fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stdout);
            execl(program.c_str(), program.c_str(), "--link", link_.c_str(), "--baud", "57600",
                  "--firmware-out", firmware_out.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Board() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Waits for the published link; false when the board did not come up within five seconds.
    bool wait_ready() const {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            struct stat st {};
            if (pid_ > 0 && stat(link_.c_str(), &st) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const std::string &link() const { return link_; }

  private:
    std::string link_;
    pid_t pid_ = -1;
};

std::vector<uint8_t> read_all(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char **argv) {
    // One log line per block would measure the terminal; keep the errors only, unless asked.
    setenv("ZEB_LOG_LEVEL", "3", 0);
    std::string sim =
        (fs::read_symlink("/proc/self/exe").parent_path() / "kor_ioboard_sim").string();
    long size = 64 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--sim") == 0) {
            sim = argv[i + 1];
        } else if (std::strcmp(argv[i], "--size") == 0) {
            size = std::strtol(argv[i + 1], nullptr, 10);
        }
    }
    if (size < 4) {
        std::fprintf(stderr, "bench_cpi_transfer: --size must be at least 4\n");
        return 2;
    }

    char dir_template[] = "/tmp/bench_cpi_XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = dir_template;
    const fs::path image_path = dir / "image.bin";
    const fs::path out_path = dir / "received.bin";
    std::vector<uint8_t> image(static_cast<size_t>(size));
    uint32_t x = 12345;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    std::ofstream(image_path, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(size));

    int rc = 1;
    {
        Board board(sim, dir, out_path.string());
        if (!board.wait_ready()) {
            std::fprintf(stderr, "bench_cpi_transfer: the virtual board (%s) did not start\n",
                         sim.c_str());
        } else {
            modbus_interface_t *table = kor_create_modbus_instance();
            g_real_send = table->send_raw_request;
            table->send_raw_request = send_at_line_speed;
            modbus_data_t *ctx = nullptr;
            const int opened =
                kor_modbus_init(&ctx, board.link().c_str(), 1, 1500, 500, 3, 0, table);
            std::free(table);
            if (opened != 0) {
                std::fprintf(stderr, "bench_cpi_transfer: cannot open %s\n", board.link().c_str());
            } else {
                kor_board_update_init();
                kor_board_update_set_wait_ms(0);
                const auto start = Clock::now();
                const int result =
                    kor_board_update_transfer_file_to_io_board(ctx, image_path.c_str());
                const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                kor_modbus_free(ctx);

                const long blocks = (size + 246) / 247 + 1;  // image blocks and the trailer
                const long long reply_bytes = blocks * 8LL;
                const long long wire_bytes = g_request_bytes + reply_bytes;
                const double wire_seconds = static_cast<double>(wire_bytes) / kLineBytesPerSecond;
                const double payload_rate = static_cast<double>(size) / seconds;
                const double payload_limit = static_cast<double>(size) / wire_seconds;
                const bool intact = read_all(out_path) == image;

                std::printf("CPI firmware transfer, %ld bytes in %ld CPI requests, %d baud 8N1\n",
                            size, blocks, kBaud);
                std::printf("  line limit: %.0f bytes/s (%d / 10)\n", kLineBytesPerSecond, kBaud);
                std::printf(
                    "  wire bytes: %lld (requests with their CRC %lld, replies %lld) = %.3f s of "
                    "line time\n",
                    wire_bytes, g_request_bytes, reply_bytes, wire_seconds);
                std::printf("  elapsed:    %.3f s (the two fixed 1 s waits set to 0)\n", seconds);
                std::printf("  payload:    %.1f bytes/s achieved, %.1f bytes/s wire limit\n",
                            payload_rate, payload_limit);
                std::printf(
                    "  ratio:      %.3f of the wire limit (payload rate over payload limit = line "
                    "time of all request and reply bytes over elapsed time)\n",
                    payload_rate / payload_limit);
                std::printf("  result:     update %s, image %s at the board\n",
                            result == 0 ? "succeeded" : "FAILED", intact ? "intact" : "DIFFERS");
                rc = result == 0 && intact ? 0 : 1;
            }
        }
    }
    fs::remove_all(dir);
    return rc;
}
