// Opening a bus channel in a bus folder that others may write (the folder is group-writable): the
// socket must get its documented mode without any path lookup that someone else can redirect.
// The other user is played at the worst moment: this executable wraps bind(), and right after the
// real bind() made the socket file it swaps the entry of the bus folder that leads to it for one
// of its own that ends in a symlink to a file the channel must not touch, as a member of the
// bus group who won the race would. Everything else (the library's own calls) runs for real.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "log_capture.hpp"
#include "zeb_common.h"

namespace {

struct Attack {
    bool armed = false;
    std::string bus_dir;
    std::string victim;
    int swaps = 0;
};
Attack attack;

// Moves the bus folder's entry that leads to path aside and puts a path of the other user's in
// its place, ending in a symlink to the victim.
void swap_entry(const std::string &path) {
    const std::string prefix = attack.bus_dir + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return;
    }
    const std::string rel = path.substr(prefix.size());
    const std::string first = prefix + rel.substr(0, rel.find('/'));
    if (rename(first.c_str(), (first + "~").c_str()) != 0) {
        return;
    }
    if (rel.find('/') == std::string::npos) {
        symlink(attack.victim.c_str(), first.c_str());
    } else {
        mkdir(first.c_str(), 0755);
        symlink(attack.victim.c_str(), (prefix + rel).c_str());
    }
    ++attack.swaps;
}

}  // namespace

extern "C" int bind(int fd, const sockaddr *address, socklen_t length) noexcept {
    using Bind = int (*)(int, const sockaddr *, socklen_t);
    static const Bind real = reinterpret_cast<Bind>(dlsym(RTLD_NEXT, "bind"));
    const int rc = real(fd, address, length);
    if (rc == 0 && attack.armed && address->sa_family == AF_UNIX) {
        const int saved = errno;
        swap_entry(reinterpret_cast<const sockaddr_un *>(address)->sun_path);
        errno = saved;
    }
    return rc;
}

namespace {

TEST(BusBindSecurity, TheSocketModeIsSetWithoutFollowingAnything) {
    struct Case {
        const char *what;
        mode_t umask;
        bool race;          // the other user swaps the socket's way right after bind
        bool planted_link;  // a symlink waits at the channel's own path
    } cases[] = {
        {"plain, umask 022", 022, false, false},
        {"plain, umask 077", 077, false, false},
        {"swapped after bind", 022, true, false},
        {"symlink at the channel path", 022, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kor_test::ScratchDir dir;
        const std::string bus = dir.file("bus");
        ASSERT_EQ(0, mkdir(bus.c_str(), 0770));
        const std::string victim = dir.file("victim");
        std::ofstream(victim) << "secret\n";
        ASSERT_EQ(0, chmod(victim.c_str(), 0600));
        const std::string channel = bus + "/bind_probe";
        if (c.planted_link) {
            ASSERT_EQ(0, symlink(victim.c_str(), channel.c_str()));
        }
        setenv("ZEB_BUS_DIR", bus.c_str(), 1);
        const mode_t old_umask = umask(c.umask);
        attack = Attack{c.race, bus, victim, 0};
        const int rc = zeb_service_initialize("bind_probe");
        attack.armed = false;
        umask(old_umask);

        struct stat st {};
        ASSERT_EQ(0, stat(victim.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777) << "the victim's mode was changed";
        std::string text;
        std::getline(std::ifstream(victim), text);
        EXPECT_EQ("secret", text);
        if (c.race) {
            EXPECT_EQ(1, attack.swaps) << "the wrapper of bind() did not act";
        }
        if (c.planted_link) {
            EXPECT_EQ(-EADDRINUSE, rc);
            ASSERT_EQ(0, lstat(channel.c_str(), &st));
            EXPECT_TRUE(S_ISLNK(st.st_mode));
        } else {
            // The channel is a socket of the documented mode, and it is this process's own.
            ASSERT_EQ(0, rc);
            ASSERT_EQ(0, lstat(channel.c_str(), &st));
            EXPECT_TRUE(S_ISSOCK(st.st_mode));
            EXPECT_EQ(0660u, st.st_mode & 07777);
            const int value = 7;
            EXPECT_EQ(0, zeb_service_send_event("bind_probe", "probe", "4s1 value", &value,
                                                sizeof value));
            zeb_event_t *event = nullptr;
            EXPECT_EQ(0, zeb_service_wait_event_timeout(&event, 5000));
            EXPECT_TRUE(event != nullptr && std::strcmp(event->name, "probe") == 0);
            zeb_service_free_event(event);
        }
        zeb_service_uninitialize();
        unsetenv("ZEB_BUS_DIR");
    }
}

}  // namespace
