// kor_ioboard_sim: the virtual IO board. Parses the command line, builds the register bank, the
// line, the oven, the CPI receiver and the control socket, and runs the one event loop that
// serves them all until a quit command, SIGINT or SIGTERM; everything it made (link, sockets)
// goes away on the way out. One thread: a request, a command and an oven tick never overlap.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sim_control.hpp"
#include "sim_cpi.hpp"
#include "sim_fd.hpp"
#include "sim_flash.hpp"
#include "sim_link.hpp"
#include "sim_oven.hpp"
#include "sim_registers.hpp"

namespace {

constexpr const char *kUsage =
    "usage: kor_ioboard_sim [options]\n"
    "The virtual IO board: Modbus RTU slave 1 with holding registers 0-499, the oven behind\n"
    "them, and the CPI firmware update (function 0x41).\n"
    "\n"
    "Options:\n"
    "  --device PATH   serve this serial device instead of a new pseudo-terminal pair\n"
    "  --link PATH     publish the pseudo-terminal the oven manager opens as a symbolic link\n"
    "                  at PATH (replaced if it exists, removed on exit); not with --device\n"
    "  --control PATH  listen for control commands on a Unix stream socket at PATH\n"
    "  --baud N        delay each reply by its wire time at N baud, 8N1 (default: no delay);\n"
    "                  frames also end after 3.5 character times at N baud (2 ms at least)\n"
    "  --speed N       run the oven physics N times faster (default 1, up to 10000): a tick\n"
    "                  of 100 ms simulated time every 100/N ms (every 5 ms at most, then\n"
    "                  several steps a tick)\n"
    "  --firmware-out PATH\n"
    "                  write the image of a CPI update here as its blocks arrive; the 4-byte\n"
    "                  trailer goes to PATH.trailer\n"
    "  --help          this text\n"
    "\n"
    "Trouble from the start: each of these options runs the control command of its name before\n"
    "the board serves; a comma stands between the command's arguments (--late 3,2500):\n"
    "  --delay MS, --late COUNT[,MS], --bad-crc COUNT, --wrong-slave COUNT,\n"
    "  --cpi-corrupt KIND[,COUNT], --flash SECONDS[,VERSION]\n"
    "\n"
    "Control commands (one a line, one answer line each; errors answer \"error: ...\"):\n"
    "  status                 state=serving|silent served=N frames=N ignored=N bad_crc=N\n"
    "                         other_slave=N silence=SECONDS_LEFT exception=CODExCOUNT|none\n"
    "                         delay=MS late=COUNTxMS spoiled=N queued=N writes=N line=PATH\n"
    "                         oven_state=N temperature=F target=F soak=SECONDS_LEFT\n"
    "                         physics=on|off cpi_blocks=N cpi_bytes=N flash=SECONDS_LEFT\n"
    "                         reboots=N (queued: replies waiting for their time)\n"
    "  get REG                the value of holding register REG (0-499)\n"
    "  set REG VAL            set a register (not logged as a master write); answers ok\n"
    "  silence SECONDS        answer nothing for SECONDS (decimals allowed, 0 ends it); ok\n"
    "  exception CODE [COUNT] answer the next request (or the next COUNT requests) to slave 1\n"
    "                         with Modbus exception CODE (1-255); one-shot unless COUNT is\n"
    "                         given; exception 0 cancels; ok\n"
    "  delay MS               every reply waits MS milliseconds (0-60000, 0 ends it) before it\n"
    "                         goes out; the board keeps reading the line meanwhile\n"
    "  late COUNT [MS]        answer the next COUNT requests MS milliseconds late (default 2000,\n"
    "                         past the oven manager's 1.5 s time-out), on top of any delay;\n"
    "                         requests meanwhile are answered at their own time; 0 cancels\n"
    "  bad-crc [COUNT]        the next COUNT register replies (default 1) go out with a broken\n"
    "                         CRC; 0 cancels\n"
    "  wrong-slave [COUNT]    the next COUNT register replies (default 1) come from slave 2,\n"
    "                         with a good CRC; 0 cancels\n"
    "  writes                 the master's register writes so far, in order: REG:=VAL ...\n"
    "  writes clear           forget the writes so far; ok\n"
    "  writes take            the writes so far with the time the board applied each, then\n"
    "                         forget them: REG:=VAL@MICROSECONDS ... (the monotonic clock,\n"
    "                         CLOCK_MONOTONIC, as other processes read it)\n"
    "  fault CODE BITS        set fault word CODE (199-212) to BITS, 0 clears; 200, 202, 206,\n"
    "                         207 and 208 are one-shot reports the master clears by writing 0,\n"
    "                         the others stand until cleared here; 207 locks the ignition out\n"
    "  forget                 machine configuration (register 2) back to 0, as a board reset\n"
    "  food [SECONDS]         food on the photo-eye (register 107 = 1) for SECONDS of real time\n"
    "                         (default 3)\n"
    "  soak SECONDS           a soak of SECONDS simulated time (state 12, registers 120, 121);\n"
    "                         only while heating (states 4-7 or 12)\n"
    "  states                 the oven states (register 99) walked so far, oldest first, the\n"
    "                         last 256: STATE ...\n"
    "  states clear           start the list again from the current state; ok\n"
    "  physics on|off         stop or resume the oven; stopped, registers keep what is set\n"
    "  cpi                    cpi blocks=N bytes=N trailer=HEX|none refused=N corrupt=N\n"
    "  cpi-corrupt [KIND] [COUNT]\n"
    "                         spoil the next COUNT CPI replies (default 1): KIND crc (default)\n"
    "                         breaks the CRC, short drops the last byte (7 bytes), block names\n"
    "                         the next block, file another file (with good CRCs); 0 cancels\n"
    "  flash SECONDS [VERSION]\n"
    "                         after every complete firmware transfer (trailer confirmed) flash\n"
    "                         for SECONDS, silent, then reboot: register 0 := VERSION (default\n"
    "                         the version before plus one), machine configuration (2) := 0;\n"
    "                         flash 0 turns it off (the default: the board goes on as it was)\n"
    "  help                   the command names\n"
    "  quit                   answer ok and shut down\n"
    "\n"
    "The oven: with enable (1) set and machine configuration (2) neither 0 nor 65535 it walks\n"
    "0 off, 1 purge, 2 ignition, 3 flame proving, 4 preheat, then 6 bake (5 idle while 86 is\n"
    "2) within 5 F of the target (56); 7 reheat when 25 F below it; enable 0: 8 cooldown, 0\n"
    "below 200 F; 9 above 650 F (fault 205) until below 600 F; 10 while the test flag (74) is\n"
    "set; 12 soak. Outputs (99-124, 299-336) are rewritten every tick; a temperature set on 106\n"
    "is taken over by the oven. Without a machine configuration the oven stops and rests: the\n"
    "registers stay as they are set (a fresh board is a plain register store).\n"
    "\n"
    "Frames with a bad CRC or for another slave are ignored; a silence wins over an exception.\n"
    "A CPI block out of order, of an unknown file or the wrong size gets no reply.\n";

struct Options {
    std::string device;
    std::string link;
    std::string control;
    int baud = 0;
    double speed = 1.0;
    std::string firmware_out;
    std::vector<std::string> commands;  // trouble staged from the command line
};

// Options that stage trouble: the control command of the same name.
constexpr std::string_view kCommandOptions[] = {"--delay",       "--late",        "--bad-crc",
                                                "--wrong-slave", "--cpi-corrupt", "--flash"};

bool parse_positive(std::string_view text, double &out) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value > 0.0)) {
        return false;
    }
    out = value;
    return true;
}

// 0 to run, 1 after --help, -1 on a usage error (printed).
int parse_options(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kor_ioboard_sim: %s needs a value\n%s", argv[i], kUsage);
            return -1;
        }
        const std::string_view value = argv[++i];
        double number = 0;
        if (std::find(std::begin(kCommandOptions), std::end(kCommandOptions), arg) !=
            std::end(kCommandOptions)) {
            std::string command = std::string(arg.substr(2)) + " " + std::string(value);
            std::replace(command.begin(), command.end(), ',', ' ');
            options.commands.push_back(command);
        } else if (arg == "--device") {
            options.device = value;
        } else if (arg == "--link") {
            options.link = value;
        } else if (arg == "--control") {
            options.control = value;
        } else if (arg == "--firmware-out" && !value.empty()) {
            options.firmware_out = value;
        } else if (arg == "--baud" && parse_positive(value, number) && number <= 4000000 &&
                   number == static_cast<int>(number)) {
            options.baud = static_cast<int>(number);
        } else if (arg == "--speed" && parse_positive(value, number) && number <= 10000) {
            options.speed = number;
        } else {
            std::fprintf(stderr, "kor_ioboard_sim: bad option %s %s\n%s", argv[i - 1], argv[i],
                         kUsage);
            return -1;
        }
    }
    if (!options.device.empty() && !options.link.empty()) {
        // The oven manager opens the far end of the cable, which the board cannot name.
        std::fprintf(stderr, "kor_ioboard_sim: --link only names a pseudo-terminal\n");
        return -1;
    }
    return 0;
}

int fail(const std::string &what) {
    std::fprintf(stderr, "kor_ioboard_sim: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace kor_sim;
    Options options;
    if (const int rc = parse_options(argc, argv, options); rc != 0) {
        return rc > 0 ? 0 : 2;
    }

    // Signals arrive as readable data in the loop, so shutdown runs the same path as quit.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        return fail(std::string("sigprocmask: ") + std::strerror(errno));
    }
    signal(SIGPIPE, SIG_IGN);
    UniqueFd signals(signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals.valid()) {
        return fail(std::string("signalfd: ") + std::strerror(errno));
    }

    std::string error;
    auto bank = RegisterBank::create(kSlaveId, error);
    if (!bank) {
        return fail(error);
    }
    auto link = SimLink::open({options.device, options.baud}, *bank, error);
    if (!link) {
        return fail(error);
    }
    Oven oven(*bank, options.speed);
    oven.start(Clock::now());
    CpiReceiver cpi(options.firmware_out);
    link->set_cpi_handler([&cpi](std::span<const uint8_t> frame) {
        return std::optional<std::vector<uint8_t>>(cpi.handle(frame));
    });
    Flasher flasher(*bank, *link, oven);
    cpi.on_complete([&flasher] { flasher.on_transfer_complete(Clock::now()); });

    std::atomic<bool> quit{false};
    CommandTable commands;
    add_core_commands(commands, *bank, *link, quit, [&oven, &cpi, &flasher] {
        const OvenStatus s = oven.status();
        char line[160];
        std::snprintf(line, sizeof line,
                      "oven_state=%d temperature=%.1f target=%d soak=%d physics=%s ", s.state,
                      s.temperature, s.target, s.soak_left, s.running ? "on" : "off");
        return line + cpi_status_fields(cpi) + " " + flasher.status_fields();
    });
    add_oven_commands(commands, oven);
    add_cpi_commands(commands, cpi);
    add_flash_commands(commands, flasher);
    for (const std::string &command : options.commands) {
        const std::string answer = commands.run(command);
        if (answer.rfind("error", 0) == 0) {
            std::fprintf(stderr, "kor_ioboard_sim: bad option --%s (%s)\n%s", command.c_str(),
                         answer.c_str(), kUsage);
            return 2;
        }
    }
    std::unique_ptr<ControlServer> control;
    if (!options.control.empty()) {
        control = ControlServer::open(options.control, commands, error);
        if (!control) {
            return fail(error);
        }
    }

    std::printf("kor_ioboard_sim: serving slave %d on %s\n", kSlaveId, link->peer_path().c_str());
    std::fflush(stdout);
    // The link comes last: whoever waits for it finds the board ready, control socket included.
    std::unique_ptr<PublishedLink> published;
    if (!options.link.empty()) {
        published = PublishedLink::publish(options.link, link->peer_path(), error);
        if (!published) {
            return fail(error);
        }
    }

    int rc = 0;
    std::vector<pollfd> fds;
    while (!quit) {
        fds.clear();
        fds.push_back({signals.get(), POLLIN, 0});
        fds.push_back({link->fd(), POLLIN, 0});
        if (control) {
            control->collect(fds);
        }
        const auto before = Clock::now();
        int wait_ms = oven.timeout_ms(before);
        for (const int ms : {link->timeout_ms(before), flasher.timeout_ms(before)}) {
            wait_ms = ms < 0 ? wait_ms : std::min(wait_ms, ms);
        }
        const int ready = retry_eintr([&] { return ::poll(fds.data(), fds.size(), wait_ms); });
        if (ready < 0) {
            rc = fail(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            break;  // SIGINT or SIGTERM
        }
        const auto now = Clock::now();
        flasher.on_timeout(now);  // the board is back before it reads what came meanwhile
        if (fds[1].revents != 0 && !link->on_readable(now)) {
            rc = fail("the line failed: " + link->peer_path());
            break;
        }
        link->on_timeout(Clock::now());
        oven.on_timeout(Clock::now());
        if (control) {
            control->handle(std::span<const pollfd>(fds).subspan(2));
        }
    }
    return rc;
}
