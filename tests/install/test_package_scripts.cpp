// The Debian package's maintainer scripts, run by the system's own dpkg: the package is installed
// into a scratch root (an overlay over / in a private mount namespace, chroot into it), installed
// again, and purged. Every change lives in the overlay and is gone with the namespace; the test
// checks that the real system saw none of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "log_capture.hpp"
#include "shell.hpp"

namespace {

using kor_test::shell;
using kor_test::shell_quote;

// Runs in the private namespace: sets up the scratch root, then prints "KEY VALUE" lines of what
// it finds after each step. A failed step ends it with its message.
const char *const kScript = R"sh(set -e
deb=$1; top=$2
mount -t tmpfs tmpfs "$top"
mkdir "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
mount -t proc proc "$top/root/proc"
cp "$deb" "$top/root/tmp/kor-oven.deb"
chroot "$top/root" sh -e -c '
show() { echo "$1 $(stat -c "%U:%G %a" "$2" 2>/dev/null || echo gone)"; }
# A store folder that was there before, with a store only root may read.
mkdir -p -m 0755 /opt/quenly/data/config
printf "oven_model = KOR-2B4\n" >/opt/quenly/data/config/settings
chmod 0600 /opt/quenly/data/config/settings
dpkg -i /tmp/kor-oven.deb >/dev/null
echo "user $(getent passwd kor | cut -d: -f6-7)"
echo "system $(test "$(id -u kor)" -lt 1000 && echo yes || echo no)"
echo "groups $(id -nG kor)"
show config /opt/quenly/data/config
show settings /opt/quenly/data/config/settings
show fleet /var/lib/kor/fleet
# Installed again: nothing made twice, and what is in the folder by now is left alone.
touch /opt/quenly/data/config/later
dpkg -i /tmp/kor-oven.deb >/dev/null
echo "users-after-reinstall $(getent passwd | grep -c ^kor:)"
show later /opt/quenly/data/config/later
dpkg --purge kor-oven >/dev/null
echo "purged-user $(getent passwd kor || echo none)"
echo "purged-group $(getent group kor || echo none)"
echo "purged-dialout $(getent group dialout | cut -d: -f4 | tr , "\n" | grep -cx kor || true)"
show purged-state /var/lib/kor
show purged-config /opt/quenly/data/config
show purged-settings /opt/quenly/data/config/settings
# Without a store folder, the package makes one.
rm -rf /opt/quenly
dpkg -i /tmp/kor-oven.deb >/dev/null
show new-config /opt/quenly/data/config
'
)sh";

std::map<std::string, std::string> parse(const std::string &out) {
    std::map<std::string, std::string> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos) {
            found[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    return found;
}

TEST(PackageScripts, InstallMakesTheServiceUserAndItsFoldersAndPurgeTakesThemAway) {
    if (::geteuid() != 0 || shell("command -v unshare && command -v dpkg").status != 0) {
        GTEST_SKIP() << "installing the package into a scratch root takes root, unshare and dpkg";
    }
    // The real system before: nothing of what the scripts make may be there, or the test would
    // not see the scripts make it.
    const std::string probe =
        "getent passwd kor; getent group kor; ls -d /opt/quenly /var/lib/kor 2>/dev/null; "
        "dpkg-query -W kor-oven 2>/dev/null; true";
    const auto before = shell(probe);
    ASSERT_EQ("", before.out) << "the service user or its folders exist on this system already";

    kor_test::ScratchDir scratch;
    const auto cpack =
        shell("cd " + shell_quote(KOR_BUILD_DIR) + " && " + shell_quote(KOR_CPACK_COMMAND) +
              " -G DEB -B " + shell_quote(scratch.path() + "/out"));
    ASSERT_EQ(0, cpack.status) << cpack.out;
    std::string deb;
    for (const auto &entry : std::filesystem::directory_iterator(scratch.path() + "/out")) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << cpack.out;
    const std::string top = scratch.path() + "/top";
    std::filesystem::create_directory(top);

    const auto run = shell("unshare --mount --propagation private sh -c " + shell_quote(kScript) +
                           " scratch-root " + shell_quote(deb) + " " + shell_quote(top));
    ASSERT_EQ(0, run.status) << run.out;
    const auto found = parse(run.out);
    const std::map<std::string, std::string> expected = {
        {"user", "/nonexistent:/usr/sbin/nologin"},
        {"system", "yes"},
        {"groups", "kor dialout"},
        {"config", "kor:kor 755"},
        {"settings", "kor:kor 600"},
        {"fleet", "kor:kor 750"},
        {"users-after-reinstall", "1"},
        {"later", "root:root 644"},
        {"purged-user", "none"},
        {"purged-group", "none"},
        {"purged-dialout", "0"},
        {"purged-state", "gone"},
        {"purged-config", "root:root 755"},
        {"purged-settings", "root:root 600"},
        {"new-config", "kor:kor 750"},
    };
    for (const auto &[key, value] : expected) {
        EXPECT_EQ(value, found.count(key) != 0 ? found.at(key) : "(missing)") << key << "\n"
                                                                              << run.out;
    }

    // The real system after: unchanged.
    EXPECT_EQ(before.out, shell(probe).out);
}

}  // namespace
