// Benchmark of the IO board transport (libkor_iocomms) on the virtual IO board over a
// pseudo-terminal, no wire emulation, against the peers that could do its work on the same line:
//
// - single-register reads: kor_modbus_read_holding_register against raw libmodbus
//   modbus_read_registers, both masters open on the line at once and taking turns read by read
//   (the order swapped every pair), in rounds. The figure is reads per CPU second: the CPU time
//   (user and system, all threads) this process spends on each master's reads, raw over
//   transport, as the median of the rounds' ratios with its quartiles. On a pseudo-terminal the
//   wall-clock rate is set by how the scheduler wakes three threads in two processes, which moves
//   by tens of percent from run to run on a shared machine; the CPU spent per read is the
//   master's own work (libmodbus, the kernel's tty calls, and for the transport its lock, retry
//   loop and link-state bookkeeping), so what the transport adds shows in it. Wall-clock rates
//   of the same reads are printed beside it, without a bar;
// - block reads: the transport's polling thread (poll period 0) reading the three status blocks
//   (99/21, 199/14, 299/38) against a Python pymodbus client reading the same blocks with
//   read_holding_registers (bench/pymodbus_blocks.py), alternating rounds, blocks per second;
// - queued writes: kor_modbus_write_holding_register until the board has the value, asked with
//   `get` on its control socket (median and 99th percentile; one control round trip included).
//
// Each master opens the line only for its own round: the board has one line and one master.
//
// Usage: bench_transport [--reads N] [--rounds N] [--seconds S] [--writes N] [--python PATH]
// (default 200 reads of each master per round, 61 read rounds, 11 block rounds of 1.5 s, 200
// writes; /usr/bin/python3). Besides its own lines it prints one "ROW" line per figure for
// scripts/bench.sh.
#include <modbus/modbus.h>
#include <sys/wait.h>
#include <time.h>
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
constexpr int kWarmupReads = 10;
struct Block {
    int start;
    int count;
};
constexpr Block kBlocks[] = {{99, 21}, {199, 14}, {299, 38}};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the whole process (every thread, user and system), in seconds.
double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
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

// One round of single-register reads: the CPU and wall-clock seconds spent on each master's.
struct ReadTotals {
    double raw_cpu = 0.0;
    double our_cpu = 0.0;
    double raw_wall = 0.0;
    double our_wall = 0.0;
};

// Both masters open the line at once (the same settings, so the tty is set up alike) and take
// turns read by read, the order swapped every pair: whatever else the machine does in a round
// falls on both alike. Only one request is ever in flight, so each reply reaches the master that
// asked. Returns one total per round; empty when a master could not open or a read failed.
std::vector<ReadTotals> read_rounds(const std::string &line, int reads, int rounds) {
    std::vector<ReadTotals> totals;
    modbus_t *raw = modbus_new_rtu(line.c_str(), 57600, 'N', 8, 1);
    if (raw == nullptr) {
        return totals;
    }
    modbus_set_slave(raw, 1);
    modbus_set_response_timeout(raw, 0, kTimeoutMs * 1000);
    if (modbus_connect(raw) != 0) {
        modbus_free(raw);
        return totals;
    }
    modbus_flush(raw);
    modbus_data_t *ours = nullptr;
    if (kor_modbus_init(&ours, line.c_str(), 1, kTimeoutMs, 500, 3, 0, nullptr) != 0) {
        modbus_close(raw);
        modbus_free(raw);
        return totals;
    }
    uint16_t word = 0;
    const auto raw_read = [&] { return modbus_read_registers(raw, 99, 1, &word) == 1; };
    const auto our_read = [&] { return kor_modbus_read_holding_register(ours, 99, &word) == 0; };
    bool ok = true;
    for (int i = 0; i < kWarmupReads && ok; ++i) {
        ok = raw_read() && our_read();
    }
    // Adds one read's CPU and wall-clock time to the totals.
    const auto timed = [&ok](auto &&read, double &cpu, double &wall) {
        const double cpu_start = process_cpu_seconds();
        const auto start = Clock::now();
        ok = read() && ok;
        wall += seconds_since(start);
        cpu += process_cpu_seconds() - cpu_start;
    };
    for (int round = 0; round < rounds && ok; ++round) {
        ReadTotals t;
        for (int i = 0; i < reads && ok; ++i) {
            if (i % 2 == 0) {
                timed(raw_read, t.raw_cpu, t.raw_wall);
                timed(our_read, t.our_cpu, t.our_wall);
            } else {
                timed(our_read, t.our_cpu, t.our_wall);
                timed(raw_read, t.raw_cpu, t.raw_wall);
            }
        }
        totals.push_back(t);
    }
    kor_modbus_free(ours);
    modbus_close(raw);
    modbus_free(raw);
    if (!ok) {
        totals.clear();
    }
    return totals;
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
    int reads = 200;
    int rounds = 61;
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

    // Single-register reads, the two masters taking turns.
    const std::vector<ReadTotals> totals = read_rounds(line, reads, rounds);
    if (totals.empty()) {
        return fail("a read round failed");
    }
    std::vector<double> raw_cpu;  // reads per CPU second
    std::vector<double> our_cpu;
    std::vector<double> cpu_ratios;
    std::vector<double> raw_wall;  // reads per second
    std::vector<double> our_wall;
    std::vector<double> wall_ratios;
    for (std::size_t round = 0; round < totals.size(); ++round) {
        const ReadTotals &t = totals[round];
        raw_cpu.push_back(reads / t.raw_cpu);
        our_cpu.push_back(reads / t.our_cpu);
        cpu_ratios.push_back(t.raw_cpu / t.our_cpu);
        raw_wall.push_back(reads / t.raw_wall);
        our_wall.push_back(reads / t.our_wall);
        wall_ratios.push_back(t.raw_wall / t.our_wall);
        if (std::getenv("BENCH_VERBOSE") != nullptr) {
            std::fprintf(stderr,
                         "read round %zu: CPU us/read raw %.1f transport %.1f (ratio %.3f), "
                         "wall us/read raw %.1f transport %.1f\n",
                         round, t.raw_cpu / reads * 1e6, t.our_cpu / reads * 1e6,
                         t.raw_cpu / t.our_cpu, t.raw_wall / reads * 1e6, t.our_wall / reads * 1e6);
        }
    }
    const double read_ratio = median(cpu_ratios);
    const double ratio_q1 = percentile(cpu_ratios, 25.0);
    const double ratio_q3 = percentile(cpu_ratios, 75.0);

    // Block reads: the polling thread against pymodbus.
    const int block_rounds = 11;
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
    std::printf(
        "single-register reads, %d of each master per round, in turn, %d rounds (medians):\n",
        reads, rounds);
    std::printf(
        "  per CPU second of this process: raw libmodbus %.0f reads, transport %.0f reads\n",
        median(raw_cpu), median(our_cpu));
    std::printf("  (CPU per read: raw %.1f us, transport %.1f us)\n", 1e6 / median(raw_cpu),
                1e6 / median(our_cpu));
    std::printf("  median ratio of the rounds: %.3f, interquartile range %.3f-%.3f (bar %.2f)\n",
                read_ratio, ratio_q1, ratio_q3, kReadBar);
    std::printf(
        "  wall clock (load-dependent, no bar): raw %.0f reads/s, transport %.0f reads/s, "
        "median ratio %.3f, interquartile range %.3f-%.3f\n",
        median(raw_wall), median(our_wall), median(wall_ratios), percentile(wall_ratios, 25.0),
        percentile(wall_ratios, 75.0));
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

    row("transport reads per CPU second (single register)", fixed(median(our_cpu), 0),
        "raw libmodbus " + fixed(median(raw_cpu), 0), fixed(read_ratio, 3), ">= 0.95",
        read_ratio >= kReadBar ? "ok" : "FAIL");
    row("reads per CPU second: rounds' ratio, quartiles",
        fixed(ratio_q1, 3) + "-" + fixed(ratio_q3, 3), "-", "-", "-", "info");
    row("transport reads/s, wall clock (single register)", fixed(median(our_wall), 0),
        "raw libmodbus " + fixed(median(raw_wall), 0), fixed(median(wall_ratios), 3), "-", "info");
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
