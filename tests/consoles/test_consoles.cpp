// The serial consoles as a technician (or a script) uses them: each runs as its own process with
// its input and output on pipes, against the virtual IO board over a pseudo-terminal. Checks the
// exact texts, the exit statuses, what reaches the board, and firmware updates.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "console_process.hpp"
#include "log_capture.hpp"
#include "sim_process.hpp"

namespace {

using kor_test::ConsoleProcess;
using kor_test::ScratchDir;
using kor_test::SimProcess;
using kor_test::wait_until;
using namespace std::chrono_literals;

const std::string kModbusConsole = "modbus_console";
const std::string kIoboardConsole = "ioboard_console";

// A symbolic link to the board's line at a path of exactly length characters, under /tmp.
class LinkOfLength {
  public:
    LinkOfLength(const std::string &target, std::size_t length) {
        path_ = "/tmp/kor_console_" + std::to_string(::getpid()) + "_";
        path_.resize(length, 'L');
        ::unlink(path_.c_str());
        ok_ = ::symlink(target.c_str(), path_.c_str()) == 0;
    }
    ~LinkOfLength() { ::unlink(path_.c_str()); }
    LinkOfLength(const LinkOfLength &) = delete;
    LinkOfLength &operator=(const LinkOfLength &) = delete;
    const std::string &path() const { return path_; }
    bool ok() const { return ok_; }

  private:
    std::string path_;
    bool ok_ = false;
};

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string random_image(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string image(size, '\0');
    for (auto &c : image) {
        c = static_cast<char>(random() & 0xFF);
    }
    return image;
}

class ConsoleTest : public ::testing::Test {
  protected:
    void start_board(const std::vector<std::string> &args = {}) {
        ASSERT_TRUE(sim.start(args)) << sim.last_error();
    }
    // Starts the console on the board's line and waits for the end of its start-up texts.
    void start_console(const std::string &program, bool terminal = false) {
        ASSERT_TRUE(console.start(program, {sim.link_path()}, terminal));
        const std::string last_option =
            program == kModbusConsole ? "Quit:        ! <enter>\n\n" : "Quit: ! <enter>\n\n";
        ASSERT_TRUE(console.wait_for(last_option)) << console.output() << "\nstderr:\n"
                                                   << console.errors();
    }
    // Sends one line and waits for text to appear after what was printed so far.
    ::testing::AssertionResult command(const std::string &line, const std::string &text,
                                       std::chrono::milliseconds timeout = 5000ms) {
        const std::size_t from = console.output().size();
        if (!console.send(line + "\n")) {
            return ::testing::AssertionFailure() << "cannot send " << line;
        }
        if (!console.wait_for(text, timeout, from)) {
            return ::testing::AssertionFailure()
                   << "no \"" << text << "\" after \"" << line << "\"; output:\n"
                   << console.output().substr(from);
        }
        return ::testing::AssertionSuccess();
    }

    SimProcess sim;
    ConsoleProcess console;
};

// What both consoles share, run once for each.
class BothConsoles : public ConsoleTest, public ::testing::WithParamInterface<std::string> {
  protected:
    bool is_modbus_console() const { return GetParam() == kModbusConsole; }
    std::size_t max_line() const { return is_modbus_console() ? 127 : 255; }
};

TEST_P(BothConsoles, WithoutDeviceItPrintsUsageAndFails) {
    ASSERT_TRUE(console.start(GetParam(), {}));
    EXPECT_EQ(console.wait_exit(), 255);
    EXPECT_EQ(console.output(), "COM Port Test.\nUsage: test /dev/device\n");
}

TEST_P(BothConsoles, DevicePathOf31CharactersIsUsedAnd32Refused) {
    start_board();
    ASSERT_EQ(sim.command("set 7 1234"), "ok");
    LinkOfLength too_long(sim.link_path(), 32);
    ASSERT_TRUE(too_long.ok());
    ASSERT_TRUE(console.start(GetParam(), {too_long.path()}));
    EXPECT_EQ(console.wait_exit(), 255);
    EXPECT_EQ(console.output(), "device string too long, max is 31\n");

    LinkOfLength longest(sim.link_path(), 31);
    ASSERT_TRUE(longest.ok());
    ConsoleProcess accepted;
    ASSERT_TRUE(accepted.start(GetParam(), {longest.path()}));
    ASSERT_TRUE(accepted.send("r 7\n"));
    EXPECT_TRUE(accepted.wait_for("read 0x4D2 (1234) from 7\n")) << accepted.output();
}

TEST_P(BothConsoles, ReadsAndWritesRegistersWithTheirMessages) {
    start_board();
    ASSERT_EQ(sim.command("set 7 1234"), "ok");
    start_console(GetParam());

    EXPECT_TRUE(command("r 7", "read 0x4D2 (1234) from 7\n"));
    // The value is cut to the register's 16 bits, and the message says what was written.
    EXPECT_TRUE(command("w 5 70000", "wrote 0x1170 (4464) to 5\n"));
    EXPECT_TRUE(wait_until([&] { return sim.command("get 5") == "4464"; }, 3000ms));
    EXPECT_TRUE(command("read 5", "read 0x1170 (4464) from 5\n"));
    // Register 600 is beyond the board's map: it answers with an exception.
    EXPECT_TRUE(
        command("r 600", "read from 600 failed - errno 112345680 : Illegal data address\n"));

    ASSERT_TRUE(console.send("!\n"));
    // The register console ends with the result of its last command, here the failed read.
    EXPECT_EQ(console.wait_exit(), is_modbus_console() ? 255 : 0);
    EXPECT_EQ(sim.command("writes"), "5:=4464");
}

TEST_P(BothConsoles, EmptyUnknownAndIncompleteLinesDoNothing) {
    start_board();
    ASSERT_EQ(sim.command("set 7 99"), "ok");
    start_console(GetParam());
    ASSERT_EQ(sim.command("writes clear"), "ok");

    EXPECT_TRUE(command("", "Invalid input\n"));
    EXPECT_TRUE(command("   ", "Invalid input\n"));
    EXPECT_TRUE(command("x 5 6", "Invalid input\n"));
    EXPECT_TRUE(command("r", "Missing register address\n"));
    EXPECT_TRUE(command("w", "Missing register address\n"));
    EXPECT_TRUE(command("w 5", "Missing value\n"));
    // The loop goes on after all of them.
    EXPECT_TRUE(command("r 7", "read 0x63 (99) from 7\n"));

    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), is_modbus_console() ? 1 : 0);
    EXPECT_EQ(sim.command("writes"), "");
    EXPECT_EQ(console.output().find("wrote"), std::string::npos);
}

TEST_P(BothConsoles, OverLongLineIsRefusedAndItsTailIsNotACommand) {
    start_board();
    start_console(GetParam());
    ASSERT_EQ(sim.command("writes clear"), "ok");

    // Cut at the limit, the rest of this line would read as "w 5 77".
    const std::string line = std::string(max_line(), ' ') + "w 5 77";
    EXPECT_TRUE(command(
        line, "Input line too long, max is " + std::to_string(max_line()) + " characters\n"));
    // A line of exactly the limit is still a command.
    std::string longest = "w 6 8";
    longest.resize(max_line(), ' ');
    EXPECT_TRUE(command(longest, "wrote 0x08 (8) to 6\n"));

    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), is_modbus_console() ? 1 : 0);
    EXPECT_EQ(sim.command("writes"), "6:=8");
}

TEST_P(BothConsoles, AddressesOutsideTheRegistersAreRefusedAndNothingIsSent) {
    start_board();
    start_console(GetParam());
    ASSERT_EQ(sim.command("writes clear"), "ok");
    const auto frames = [&] {
        const std::string status = sim.command("status");
        const std::size_t at = status.find("frames=");
        return at == std::string::npos ? std::string("?")
                                       : status.substr(at, status.find(' ', at) - at);
    };
    const std::string frames_before = frames();

    // Cut to 16 bits, 70000 would be register 4464 and 65536 register 0.
    for (const char *address : {"70000", "65536", "-1", "-70000"}) {
        const std::string refusal =
            "Register address " + std::string(address) + " out of range 0-65535\n";
        EXPECT_TRUE(command(std::string("w ") + address + " 5", refusal));
        EXPECT_TRUE(command(std::string("r ") + address, refusal));
    }
    EXPECT_EQ(frames(), frames_before) << "a refused command reached the line";
    // The last register is still one: the board answers it (with an exception).
    EXPECT_TRUE(
        command("r 65535", "read from 65535 failed - errno 112345680 : Illegal data address\n"));

    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), is_modbus_console() ? 255 : 0);
    EXPECT_EQ(sim.command("writes"), "");
    EXPECT_EQ(console.output().find("wrote"), std::string::npos) << console.output();
}

TEST_P(BothConsoles, ClosedInputEndsTheSessionLikeQuit) {
    start_board();
    ASSERT_EQ(sim.command("set 7 3"), "ok");
    start_console(GetParam());
    EXPECT_TRUE(command("r 7", "read 0x03 (3) from 7\n"));
    EXPECT_EQ(console.wait_exit(3000ms), is_modbus_console() ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Consoles, BothConsoles, ::testing::Values(kModbusConsole, kIoboardConsole),
                         [](const auto &test_info) { return test_info.param; });

using ModbusConsole = ConsoleTest;

TEST_F(ModbusConsole, PrintsEveryStartUpStepAndUsesAPortWithoutRs485) {
    start_board();
    start_console(kModbusConsole);
    ASSERT_TRUE(console.send("!\n"));
    // No command given: the result is 0.
    EXPECT_EQ(console.wait_exit(), 0);

    const std::string warning =
        "RS485 mode not supported by " + sim.link_path() + ", using the port as it is";
    const std::vector<std::string> lines = {"libmodbus test\n",
                                            "allocate context\n",
                                            "set debug\n",
                                            "set response timeout\n",
                                            "set slave\n",
                                            "perform connection\n",
                                            "configure ioctl\n",
                                            warning + "\n",
                                            "set serial mode to RS485\n",
                                            "Read usage:  r <addr> <enter>\n"
                                            "Write usage: w <addr> <val> <enter>\n"
                                            "Quit:        ! <enter>\n\n",
                                            "closing\n"};
    const std::string &out = console.output();
    EXPECT_EQ(out.rfind("libmodbus test\n", 0), 0u) << out;
    std::size_t at = 0;
    for (const auto &line : lines) {
        const std::size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        at = found + line.size();
    }
    // The warning is given once, although both RS-485 steps found no support.
    EXPECT_EQ(out.find(warning, out.find(warning) + 1), std::string::npos);
    EXPECT_EQ(at, out.size()) << "\"closing\" is not the last line:\n" << out;
}

TEST_F(ModbusConsole, UnopenableDeviceFailsAtTheConnection) {
    ScratchDir scratch;
    const std::string device = scratch.file("none");
    ASSERT_LE(device.size(), 31u);
    ASSERT_TRUE(console.start(kModbusConsole, {device}));
    EXPECT_EQ(console.wait_exit(), 255);
    // With debug on, libmodbus's own "Opening ..." line comes between the step and the failure.
    const std::string &out = console.output();
    const std::string failure = "Failed to conect to " + device + "\n";
    EXPECT_NE(out.find("perform connection\n"), std::string::npos) << out;
    ASSERT_GE(out.size(), failure.size());
    EXPECT_EQ(out.substr(out.size() - failure.size()), failure) << out;
    EXPECT_EQ(console.output().find("Read usage"), std::string::npos);
}

using IoboardConsole = ConsoleTest;

const std::string kOptionsAtStart =
    "\nOptions:\n"
    "Read usage: r <addr> <enter>\n"
    "Write usage: w <addr> <val> <enter>\n"
    "Update Board: u <file_name> <enter>\n"
    "Print options: h\n"
    "Quit: ! <enter>\n\n";

TEST_F(IoboardConsole, PrintsItsOptionsAtStartAndOnHelp) {
    start_board();
    start_console(kIoboardConsole);
    EXPECT_NE(console.output().find(kOptionsAtStart), std::string::npos) << console.output();

    std::string for_help = kOptionsAtStart;
    for_help.replace(for_help.find("Read usage: "), 12, "Read usage:  ");
    EXPECT_TRUE(command("h", for_help));
    EXPECT_TRUE(command("help me", for_help));
    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), 0);
}

TEST_F(IoboardConsole, UnopenableDeviceFailsToConnect) {
    ASSERT_TRUE(console.start(kIoboardConsole, {"/nonexistent/ttyIO"}));
    EXPECT_EQ(console.wait_exit(), 255);
    EXPECT_NE(console.output().find("Failed to connect to modbus - ret:-1 - errno:"),
              std::string::npos)
        << console.output();
    EXPECT_EQ(console.output().find("Options:"), std::string::npos);
}

TEST_F(IoboardConsole, WritesQueuedJustBeforeQuitStillReachTheBoard) {
    start_board();
    start_console(kIoboardConsole);
    ASSERT_EQ(sim.command("writes clear"), "ok");
    // All at once, as a script would pipe them: the quit comes while the writes are queued.
    ASSERT_TRUE(console.send("w 10 1\nw 11 2\nw 12 3\nw 5 70000\n!\n"));
    EXPECT_EQ(console.wait_exit(), 0);
    EXPECT_EQ(sim.command("writes"), "10:=1 11:=2 12:=3 5:=4464");
}

TEST_F(IoboardConsole, ReadFromASilentBoardFailsWithTheTimeOutText) {
    start_board();
    start_console(kIoboardConsole);
    ASSERT_EQ(sim.command("silence 10"), "ok");
    // Three attempts of 1.5 s each.
    EXPECT_TRUE(command("r 7", "read from 7 failed - errno 110 : Connection timed out\n", 8000ms));
    ASSERT_EQ(sim.command("silence 0"), "ok");
    ASSERT_EQ(sim.command("set 7 21"), "ok");
    EXPECT_TRUE(command("r 7", "read 0x15 (21) from 7\n"));
}

TEST_F(IoboardConsole, UpdateFlashesTheImageByteForByte) {
    ScratchDir files;
    const std::string received = files.file("received.bin");
    start_board({"--firmware-out", received});
    start_console(kIoboardConsole);

    const std::string image = random_image(100 * 1024, 7);
    const std::string path = files.file("firmware.bin");
    std::ofstream(path, std::ios::binary) << image;

    const std::size_t from = console.output().size();
    EXPECT_TRUE(command("u " + path, "Updating IO with firmware " + path + "\n"));
    ASSERT_TRUE(console.wait_for("IO Board successfully updated!\n", 30000ms, from))
        << console.output().substr(from) << "\nstderr:\n"
        << console.errors();
    EXPECT_TRUE(read_file(received) == image) << "the board's image differs from the file";
    EXPECT_EQ(read_file(received + ".trailer"), image.substr(image.size() - 4));
    // Not a terminal: no progress line among the messages.
    EXPECT_EQ(console.output().find('\r'), std::string::npos);
    EXPECT_EQ(console.output().find("blocks"), std::string::npos);

    // The link is back to registers after the update.
    ASSERT_EQ(sim.command("set 7 5"), "ok");
    EXPECT_TRUE(command("r 7", "read 0x05 (5) from 7\n"));
    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), 0);
}

TEST_F(IoboardConsole, UpdateWithoutAUsableFileSaysWhy) {
    start_board();
    start_console(kIoboardConsole);
    EXPECT_TRUE(command("u", "Missing file name\n"));
    EXPECT_TRUE(command("u /nonexistent/fw.bin",
                        "Updating IO with firmware /nonexistent/fw.bin\n"
                        "update failed - ret -1 - errno 2 : No such file or directory\n"));
    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), 0);
}

TEST_F(IoboardConsole, UpdateShowsProgressOnATerminal) {
    ScratchDir files;
    const std::string received = files.file("received.bin");
    start_board({"--firmware-out", received});
    start_console(kIoboardConsole, true);

    // 10240 bytes: 42 image blocks and the trailer.
    const std::string image = random_image(10240, 11);
    const std::string path = files.file("firmware.bin");
    std::ofstream(path, std::ios::binary) << image;
    const std::size_t from = console.output().size();
    ASSERT_TRUE(command("u " + path, "IO Board successfully updated!\n", 30000ms));
    const std::string shown = console.output().substr(from);
    EXPECT_NE(shown.find("\r1/43 blocks "), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r43/43 blocks  100%  "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" bytes/s"), std::string::npos) << shown;
    EXPECT_TRUE(read_file(received) == image);
    ASSERT_TRUE(console.send("!\n"));
    EXPECT_EQ(console.wait_exit(), 0);
}

}  // namespace
