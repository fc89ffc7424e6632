// The Python client printed in docs/bus.md, run as it stands against kor_oven_mgr on the virtual
// IO board: it must register, get its request through and decode what comes back. A change of
// the bus encoding or of the registration that the document does not follow fails here.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "oven_process.hpp"

namespace {

using kor_test::OvenRig;
using namespace std::chrono_literals;

// The first ```python block of the document.
std::string example_from(const std::string &markdown_path) {
    std::ifstream in(markdown_path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const std::string open = "```python\n";
    const auto start = all.find(open);
    if (start == std::string::npos) {
        return "";
    }
    const auto end = all.find("```", start + open.size());
    return end == std::string::npos ? ""
                                    : all.substr(start + open.size(), end - start - open.size());
}

std::string run(const std::string &command) {
    std::string out;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    ::pclose(pipe);
    return out;
}

TEST(BusDocumentExample, RegistersSwitchesTheOvenOnAndDecodesTheNotifications) {
    const std::string code = example_from(kor_test::source_dir() + "/docs/bus.md");
    ASSERT_FALSE(code.empty()) << "no python example in docs/bus.md";

    OvenRig rig;
    ASSERT_TRUE(rig.start()) << rig.error();
    const std::string script = rig.file("bus_client.py");
    std::ofstream(script) << code;

    // The rig's bus folder is in ZEB_BUS_DIR already; the client inherits it.
    const std::string out = run("timeout 15 python3 " + script + " power_onoff 1 --count 400 2>&1");

    EXPECT_NE(std::string::npos, out.find("zeb.varlo.mode_notify [zeb_backend] mode=")) << out;
    EXPECT_NE(std::string::npos, out.find("zeb.varlo.power_on [zeb_backend]")) << out;
    // A float field decoded from its descriptor.
    EXPECT_NE(std::string::npos, out.find(" fan1_hz=")) << out;
    EXPECT_EQ(1, rig.reg(1)) << "the power-on request did not reach the board";
    EXPECT_EQ(1,
              rig.mgr.log_count("process_client_requests: Received event: zeb.varlo.power_onoff"));
    rig.stop();
}

}  // namespace
