// Benchmark of the IO board transport (libkor_iocomms) on the virtual IO board over a
// pseudo-terminal, no wire emulation, against the peers that could do its work on the same line:
//
// - single-register reads: kor_modbus_read_holding_register against raw libmodbus
//   modbus_read_registers, in alternating rounds; the figure is the median of the pairs' ratios;
// - block reads: the transport's polling thread (poll period 0) reading the three status blocks
//   (99/21, 199/14, 299/38) against a Python pymodbus client reading the same blocks with
//   read_holding_registers (bench/pymodbus_blocks.py), alternating rounds, blocks per second;
// - queued writes: kor_modbus_write_holding_register until the board has the value, asked with
//   `get` on its control socket (median and 99th percentile; one control round trip included).
//
// Each master opens the line only for its own round: the board has one line and one master.
//
// Usage: bench_transport [--reads N] [--rounds N] [--seconds S] [--writes N] [--python PATH]
// (default 1000 reads, 21 rounds, 1.5 s per block round, 200 writes; /usr/bin/python3).
// Besides its own lines it prints one "ROW" line per figure for scripts/bench.sh.
#include <modbus/modbus.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kor_modbus.h"
#include "sim_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kReadBar = 0.95;
constexpr int kTimeoutMs = 500;
struct Block {
    int start;
    int count;
};
constexpr Block kBlocks[] = {{99, 21}, {199, 14}, {299, 38}};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

void row(const std::string &figure, const std::string &value, const std::string &peer,
         const std::string &ratio, const std::string &bar, const std::string &verdict) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), value.c_str(), peer.c_str(),
                ratio.c_str(), bar.c_str(), verdict.c_str());
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Reads per second with raw libmodbus, opened as the transport opens the line; -1 on failure.
double raw_reads(const std::string &line, int reads) {
    modbus_t *ctx = modbus_new_rtu(line.c_str(), 57600, 'N', 8, 1);
    if (ctx == nullptr) {
        return -1.0;
    }
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 0, kTimeoutMs * 1000);
    double rate = -1.0;
    if (modbus_connect(ctx) == 0) {
        modbus_flush(ctx);
        uint16_t word = 0;
        const auto start = Clock::now();
        int good = 0;
        for (int i = 0; i < reads; ++i) {
            good += modbus_read_registers(ctx, 99, 1, &word) == 1 ? 1 : 0;
        }
        rate = good == reads ? reads / seconds_since(start) : -1.0;
        modbus_close(ctx);
    }
    modbus_free(ctx);
    return rate;
}

// A master closed with a request in flight leaves the board's late reply on the line, where the
// next master would take it for its own: wait for it and throw it away between rounds.
void drain_line(const std::string &line) {
    modbus_t *ctx = modbus_new_rtu(line.c_str(), 57600, 'N', 8, 1);
    if (ctx == nullptr) {
        return;
    }
    if (modbus_connect(ctx) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        modbus_flush(ctx);
        modbus_close(ctx);
    }
    modbus_free(ctx);
}

// Reads per second through the transport; -1 on failure.
double transport_reads(const std::string &line, int reads) {
    modbus_data_t *ctx = nullptr;
    if (kor_modbus_init(&ctx, line.c_str(), 1, kTimeoutMs, 500, 3, 0, nullptr) != 0) {
        return -1.0;
    }
    uint16_t word = 0;
    const auto start = Clock::now();
    int good = 0;
    for (int i = 0; i < reads; ++i) {
        good += kor_modbus_read_holding_register(ctx, 99, &word) == 0 ? 1 : 0;
    }
    const double rate = good == reads ? reads / seconds_since(start) : -1.0;
    kor_modbus_free(ctx);
    return rate;
}

// The transport's block reads are counted in its call table's read_registers slot.
std::atomic<long> g_block_reads{0};
int (*g_real_read_registers)(mbs_ctx_t *, int, int, uint16_t *) = nullptr;

int counting_read_registers(mbs_ctx_t *ctx, int address, int count, uint16_t *values) {
    const int result = g_real_read_registers(ctx, address, count, values);
    if (result == count) {
        g_block_reads.fetch_add(1, std::memory_order_relaxed);
    }
    return result;
}

// Blocks per second read by the transport's polling thread with no pause between rounds.
double transport_blocks(kor_test::SimProcess &board, double seconds) {
    const std::string line = board.link_path();
    modbus_interface_t *table = kor_create_modbus_instance();
    if (table == nullptr) {
        return -1.0;
    }
    g_real_read_registers = table->read_registers;
    table->read_registers = counting_read_registers;
    modbus_data_t *ctx = nullptr;
    const int opened = kor_modbus_init(&ctx, line.c_str(), 1, kTimeoutMs, 0, 3, 0, table);
    std::free(table);
    if (opened != 0) {
        return -1.0;
    }
    int id = 0;
    for (const Block &b : kBlocks) {
        kor_modbus_init_data_subscription_block(ctx, id++, b.start, b.count);
    }
    kor_modbus_start_polling(ctx);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the first round's start
    const long served_before = board.served();
    const long before = g_block_reads.load();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long read = g_block_reads.load() - before;
    const long served = board.served() - served_before;
    if (std::getenv("BENCH_VERBOSE") != nullptr) {
        std::fprintf(stderr, "transport block round: %ld blocks read, %ld requests served\n", read,
                     served);
    }
    const double elapsed = seconds_since(start);
    kor_modbus_free(ctx);
    drain_line(line);
    return static_cast<double>(read) / elapsed;
}

// Blocks per second of the pymodbus client (its own timing, interpreter start-up excluded);
// -1 when it failed, -3 when pymodbus is not installed.
double pymodbus_blocks(const std::string &python, const std::string &script,
                       const std::string &line, double seconds) {
    const std::string command =
        python + " " + script + " " + line + " " + fixed(seconds, 2) + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1.0;
    }
    double rate = -1.0;
    char text[512];
    while (std::fgets(text, sizeof text, pipe) != nullptr) {
        double value = 0.0;
        if (std::sscanf(text, "blocks_per_second %lf", &value) == 1) {
            rate = value;
        } else if (std::getenv("BENCH_VERBOSE") != nullptr) {
            std::fputs(text, stderr);
        }
    }
    const int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        return -3.0;
    }
    return status == 0 ? rate : -1.0;
}

double median(std::vector<double> values) {
    return percentile(std::move(values), 50.0);
}

int fail(const std::string &why) {
    std::fprintf(stderr, "bench_transport: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    setenv("ZEB_LOG_LEVEL", "3", 0);
    int reads = 1000;
    int rounds = 21;
    double block_seconds = 1.5;
    int writes = 200;
    // Debian's interpreter, where python3-pymodbus installs.
    std::string python = "/usr/bin/python3";
    std::string script = std::string(KOR_BENCH_SOURCE_DIR) + "/pymodbus_blocks.py";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--reads") {
            reads = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--seconds") {
            block_seconds = std::max(0.2, std::atof(argv[i + 1]));
        } else if (option == "--writes") {
            writes = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--python") {
            python = argv[i + 1];
        } else if (option == "--script") {
            script = argv[i + 1];
        }
    }

    kor_test::SimProcess board;
    if (!board.start()) {
        return fail("the virtual board did not start: " + board.last_error());
    }
    const std::string line = board.link_path();
    board.command("set 99 6");

    // Single-register reads, in pairs that alternate which goes first.
    raw_reads(line, reads / 4 + 1);
    transport_reads(line, reads / 4 + 1);
    std::vector<double> raw;
    std::vector<double> ours;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        double r = 0.0;
        double t = 0.0;
        if (round % 2 == 0) {
            r = raw_reads(line, reads);
            t = transport_reads(line, reads);
        } else {
            t = transport_reads(line, reads);
            r = raw_reads(line, reads);
        }
        if (r <= 0.0 || t <= 0.0) {
            return fail("a read round failed (raw " + fixed(r, 0) + ", transport " + fixed(t, 0) +
                        ")");
        }
        raw.push_back(r);
        ours.push_back(t);
        ratios.push_back(t / r);
    }
    const double read_ratio = median(ratios);

    // Block reads: the polling thread against pymodbus.
    const int block_rounds = std::max(3, rounds / 2);
    std::vector<double> our_blocks;
    std::vector<double> py_blocks;
    bool py_missing = false;
    for (int round = 0; round < block_rounds; ++round) {
        const bool ours_first = round % 2 == 0;
        if (ours_first) {
            our_blocks.push_back(transport_blocks(board, block_seconds));
        }
        const double p = pymodbus_blocks(python, script, line, block_seconds);
        if (p == -3.0) {
            py_missing = true;
        } else if (p > 0.0) {
            py_blocks.push_back(p);
        }
        if (!ours_first) {
            our_blocks.push_back(transport_blocks(board, block_seconds));
        }
        if (our_blocks.back() <= 0.0) {
            return fail("a block round of the transport failed");
        }
    }
    const double our_block_rate = median(our_blocks);
    const double py_block_rate = py_blocks.empty() ? 0.0 : median(py_blocks);

    // Queued writes: enqueue, then ask the board until it has the value.
    std::vector<double> write_ms;
    std::vector<double> control_ms;
    {
        modbus_data_t *ctx = nullptr;
        if (kor_modbus_init(&ctx, line.c_str(), 1, kTimeoutMs, 500, 3, 0, nullptr) != 0) {
            return fail("cannot open the line for the write rounds");
        }
        kor_test::ControlClient control;
        if (!control.connect(board.control_path())) {
            kor_modbus_free(ctx);
            return fail("cannot reach the board's control socket");
        }
        for (int i = 0; i < 100; ++i) {
            const auto start = Clock::now();
            control.command("get 56");
            control_ms.push_back(seconds_since(start) * 1000.0);
        }
        int current = std::atoi(control.command("get 56").c_str());
        for (int i = 0; i < writes; ++i) {
            int value = 400 + (i % 50);
            if (value == current) {
                value += 100;
            }
            const std::string expected = std::to_string(value);
            const auto start = Clock::now();
            if (kor_modbus_write_holding_register(ctx, 56, static_cast<uint32_t>(value)) != 0) {
                kor_modbus_free(ctx);
                return fail("a write was not queued");
            }
            bool arrived = false;
            while (seconds_since(start) < 2.0) {
                if (control.command("get 56") == expected) {
                    arrived = true;
                    break;
                }
            }
            if (!arrived) {
                kor_modbus_free(ctx);
                return fail("write " + std::to_string(i) + " did not reach the board");
            }
            write_ms.push_back(seconds_since(start) * 1000.0);
            current = value;
        }
        kor_modbus_free(ctx);
    }

    std::printf("bench_transport: virtual IO board over a pseudo-terminal, no wire emulation\n");
    std::printf("single-register reads, %d per round, %d rounds (median rates):\n", reads, rounds);
    std::printf("  raw libmodbus:   %.0f reads/s\n", median(raw));
    std::printf("  transport:       %.0f reads/s\n", median(ours));
    std::printf("  median ratio of the pairs: %.3f (bar %.2f)\n", read_ratio, kReadBar);
    std::printf("block reads 99/21, 199/14, 299/38, %d rounds of %.1f s (median rates):\n",
                block_rounds, block_seconds);
    std::printf("  transport polling thread: %.0f blocks/s\n", our_block_rate);
    if (py_blocks.empty()) {
        std::printf("  pymodbus: %s\n", py_missing ? "not installed" : "FAILED");
    } else {
        std::printf("  pymodbus:                 %.0f blocks/s\n", py_block_rate);
    }
    std::printf("queued write -> register 56 at the board (n=%d): median %.3f ms, p99 %.3f ms\n",
                writes, percentile(write_ms, 50.0), percentile(write_ms, 99.0));
    std::printf("  (control-socket round trip, median %.3f ms, included at most once)\n",
                median(control_ms));

    row("transport reads/s (single register)", fixed(median(ours), 0),
        "raw libmodbus " + fixed(median(raw), 0), fixed(read_ratio, 3), ">= 0.95",
        read_ratio >= kReadBar ? "ok" : "FAIL");
    if (py_blocks.empty()) {
        row("transport blocks/s (3 status blocks)", fixed(our_block_rate, 0),
            py_missing ? "pymodbus not installed" : "pymodbus FAILED", "-", "-",
            py_missing ? "-" : "FAIL");
    } else {
        row("transport blocks/s (3 status blocks)", fixed(our_block_rate, 0),
            "pymodbus " + fixed(py_block_rate, 0), fixed(our_block_rate / py_block_rate, 2), "-",
            "info");
    }
    row("queued write -> board, median (ms)", fixed(percentile(write_ms, 50.0), 3), "-", "-", "-",
        "info");
    row("queued write -> board, p99 (ms)", fixed(percentile(write_ms, 99.0), 3), "-", "-", "-",
        "info");
    return read_ratio >= kReadBar ? 0 : 1;
}
