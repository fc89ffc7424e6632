// The oven manager's bus channel against a flood of idle connections: a peer that opens more
// connections than the channel keeps and never sends must not lock out a UI that comes later,
// and the manager's log must not fill with one warning per refused connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "oven_process.hpp"

namespace {

using namespace std::chrono_literals;
using kor_test::OvenRig;

// More than the channel keeps open.
constexpr int kFlood = 300;

int connect_idle(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> register_data(const std::string &channel) {
    std::vector<uint8_t> data(4 + channel.size() + 1, 0);
    const int32_t value = 1;
    std::memcpy(data.data(), &value, sizeof value);
    std::memcpy(data.data() + 4, channel.data(), channel.size());
    return data;
}

TEST(BusFloodSecurity, IdleConnectionsDoNotLockOutALaterClient) {
    OvenRig rig;
    ASSERT_TRUE(rig.start()) << rig.error();
    const std::string manager = rig.bus_dir() + "/" + OvenRig::kManagerChannel;
    std::vector<int> idle;
    for (int i = 0; i < kFlood; ++i) {
        const int fd = connect_idle(manager);
        ASSERT_GE(fd, 0) << "connection " << i << ": " << std::strerror(errno);
        idle.push_back(fd);
    }

    // A UI that starts now registers on a connection of its own and gets its answer.
    for (const char *name : {"late_ui", "later_ui"}) {
        SCOPED_TRACE(name);
        kor_test::ChannelListener ui;
        ASSERT_TRUE(ui.open(name));
        const auto data = register_data(name);
        ASSERT_EQ(0, ui.send(OvenRig::kManagerChannel, "zeb.varlo.register",
                             "4s1 value 1s0 channel", data.data(), data.size()));
        EXPECT_TRUE(ui.events.wait(kor_test::e2e::kMode, 10s)) << rig.diagnostics();
    }
    // A request from the rig's own UI still arrives.
    ASSERT_EQ(0, rig.register_ui()) << rig.diagnostics();

    // One warning for the whole flood, not one per connection.
    EXPECT_LE(rig.mgr.log_count_containing("connections"), 2) << rig.mgr.log_text();
    EXPECT_GE(rig.mgr.log_count_containing("connections"), 1) << rig.mgr.log_text();
    for (int fd : idle) {
        close(fd);
    }
    EXPECT_TRUE(rig.mgr.running());
}

}  // namespace
