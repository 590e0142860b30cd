// The safe rewrite under real conditions: mode and ownership, unprivileged
// callers, a full disk, a busy or read-only directory, paths at the length
// limit, injected faults, and the result read by the system's resolver.
// After every failure the hosts file holds its old bytes and no temporary
// file is left.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "blackbox_support.h"

namespace blackbox {
namespace {

std::string octal(mode_t mode) {
    std::ostringstream s;
    s << std::oct << mode;
    return s.str();
}

constexpr char kOld[] = "127.0.0.1 localhost\n10.0.0.9 myhost alias\n";

// Set-id bits are never put on a hosts file; every other bit is kept.
TEST_F(HostsTest, ModeAndOwnershipArePreserved) {
    REQUIRE_ROOT();
    const std::string hosts = path("hosts");
    for (mode_t given : {0644, 0600, 0640, 0604, 0444, 0000, 0755, 02644, 01644, 04644, 02754, 06755}) {
        SCOPED_TRACE("mode 0" + octal(given));
        const mode_t mode = given & ~static_cast<mode_t>(S_ISUID | S_ISGID);
        writeFile(hosts, kOld);
        ASSERT_EQ(chown(hosts.c_str(), 1234, 5678), 0);
        ASSERT_EQ(chmod(hosts.c_str(), given), 0);
        const ino_t inode = lstatOf(hosts).st_ino;
        ASSERT_EQ(runCommand({"update", hosts, "newhost", "10.0.0.7"}), 0);
        struct stat st = lstatOf(hosts);
        EXPECT_NE(st.st_ino, inode);
        EXPECT_EQ(octal(st.st_mode & 07777), octal(mode));
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
        ASSERT_EQ(runCommand({"remove", hosts, "newhost"}), 0);
        st = lstatOf(hosts);
        EXPECT_EQ(octal(st.st_mode & 07777), octal(mode));
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(readFile(hosts), kOld);
    }
}

// A caller that may replace the file but not give it away: the content and
// the mode are in place, the owner is the caller, and the status says so.
TEST_F(HostsTest, UnprivilegedCallerGetsStatus12) {
    REQUIRE_ROOT();
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    const std::string hosts = path("hosts");
    writeFile(hosts, kOld);
    ASSERT_EQ(chmod(hosts.c_str(), 0644), 0);
    Launch nobody;
    nobody.asNobody = true;
    EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}, nobody), 12);
    EXPECT_EQ(readFile(hosts), "127.0.0.1 localhost\n10.0.0.5 myhost alias\n");
    const struct stat st = lstatOf(hosts);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
}

// No room for the temporary file: status 5, for a caller who may not write
// the directory and for a directory mounted read-only.
TEST_F(HostsTest, TemporaryFileCannotBeCreated) {
    REQUIRE_ROOT();
    const std::string hosts = path("hosts");
    writeFile(hosts, kOld);
    ASSERT_EQ(chmod(hosts.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    Launch nobody;
    nobody.asNobody = true;
    EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}, nobody), 5);
    EXPECT_EQ(runCommand({"remove", hosts, "myhost"}, nobody), 5);
    EXPECT_EQ(readFile(hosts), kOld);
    inMountNamespace([&] {
        ASSERT_EQ(mount(dir_.c_str(), dir_.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
            << std::strerror(errno);
        EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}), 5);
        EXPECT_EQ(runCommand({"remove", hosts, "myhost"}), 5);
    });
    EXPECT_EQ(readFile(hosts), kOld);
}

// The temporary path is the directory part and a 21-character template:
// a directory part of 4073 characters still fits 4096 bytes, 4074 do not.
TEST_F(HostsTest, DirectoryPathAtTheLengthLimit) {
    for (size_t dirLength : {size_t{4073}, size_t{4074}}) {
        SCOPED_TRACE(dirLength);
        std::string dir = path("l" + std::to_string(dirLength));
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        while (dir.size() < dirLength) {
            const size_t room = dirLength - dir.size() - 1;  // one for the '/'
            dir += "/" + std::string(room > 200 ? (room - 200 < 2 ? 150 : 200) : room, 'd');
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << std::strerror(errno);
        }
        ASSERT_EQ(dir.size(), dirLength);
        const std::string hosts = dir + "/h";
        writeFile(hosts, kOld);
        const int expected = dirLength == 4073 ? 0 : 5;
        EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}), expected);
        EXPECT_EQ(readFile(hosts), expected == 0 ? "127.0.0.1 localhost\n10.0.0.5 myhost alias\n" : kOld);
        EXPECT_EQ(tempFilesIn(dir), std::vector<std::string>{});
    }
}

// A disk too full for the new version: the write failure is status 8.
TEST_F(HostsTest, FullDiskIsStatus8) {
    REQUIRE_ROOT();
    const std::string small = path("small");
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    inMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
        std::string content;
        for (int i = 0; content.size() < 40000; i++) {
            content += "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250) + " host" +
                       std::to_string(i) + " alias" + std::to_string(i) + "\n";
        }
        const std::string hosts = small + "/hosts";
        writeFile(hosts, content);
        EXPECT_EQ(runCommand({"update", hosts, "newhost", "10.0.0.5"}), 8);
        EXPECT_EQ(runCommand({"remove", hosts, "host7"}), 8);
        EXPECT_EQ(readFile(hosts), content);
        EXPECT_EQ(tempFilesIn(small), std::vector<std::string>{});
    });
}

// The hosts file is a mount point, so the rename onto it fails: status 7.
TEST_F(HostsTest, BusyHostsFileIsStatus7) {
    REQUIRE_ROOT();
    const std::string hosts = path("hosts"), other = path("other");
    writeFile(hosts, kOld);
    writeFile(other, "10.0.0.9 myhost\n");
    inMountNamespace([&] {
        ASSERT_EQ(mount(other.c_str(), hosts.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
        EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}), 7);
        EXPECT_EQ(runCommand({"remove", hosts, "myhost"}), 7);
        EXPECT_EQ(readFile(hosts), "10.0.0.9 myhost\n");
        EXPECT_EQ(tempFilesIn(dir_), std::vector<std::string>{});
    });
    EXPECT_EQ(readFile(hosts), kOld);
    EXPECT_EQ(readFile(other), "10.0.0.9 myhost\n");
}

// Faults the machine does not produce on demand, injected into the calls
// the command makes.
TEST_F(HostsTest, InjectedFaults) {
    const std::string hosts = path("hosts");
    struct Case {
        const char *fault;
        int status;
    };
    for (const Case &c : {Case{"fdopen", 6}, Case{"fsync", 8}, Case{"fclose", 8}, Case{"getline", 9},
                          Case{"getline:1", 9}}) {
        SCOPED_TRACE(c.fault);
        writeFile(hosts, kOld);
        const ino_t inode = lstatOf(hosts).st_ino;
        Launch faulty;
        faulty.env = faultEnv(c.fault);
        EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}, faulty), c.status);
        EXPECT_EQ(runCommand({"remove", hosts, "myhost"}, faulty), c.status);
        EXPECT_EQ(readFile(hosts), kOld);
        EXPECT_EQ(lstatOf(hosts).st_ino, inode);
        EXPECT_EQ(tempFilesIn(dir_), std::vector<std::string>{});
    }
    // The mode cannot be put on: the new version still goes in place, with
    // the temporary file's mode, and the status says so.
    writeFile(hosts, kOld);
    ASSERT_EQ(chmod(hosts.c_str(), 0640), 0);
    Launch faulty;
    faulty.env = faultEnv("fchmod");
    EXPECT_EQ(runCommand({"update", hosts, "myhost", "10.0.0.5"}, faulty), 11);
    EXPECT_EQ(readFile(hosts), "127.0.0.1 localhost\n10.0.0.5 myhost alias\n");
    EXPECT_EQ(lstatOf(hosts).st_mode & 07777, 0600u);
}

// The rewritten file as the resolver reads it in place of the system's
// hosts file.
TEST_F(HostsTest, ResolverReadsTheRewrittenFile) {
    REQUIRE_ROOT();
    if (access("/usr/bin/getent", X_OK) != 0) GTEST_SKIP() << "no getent on this machine";
    const std::string hosts = path("hosts"), nss = path("nsswitch.conf");
    writeFile(hosts, "10.1.2.3 keep.vorq.test\n10.9.9.9 gone.vorq.test\n10.9.9.8 Gone.vorq.test x\n");
    writeFile(nss, "hosts: files\n");
    ASSERT_EQ(runCommand({"remove", hosts, "gone.vorq.test"}), 0);
    ASSERT_EQ(runCommand({"update", hosts, "new.vorq.test", "10.4.5.6"}), 0);
    inMountNamespace([&] {
        ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
        // Only the file is consulted, so a missing name fails at once.
        if (access("/etc/nsswitch.conf", F_OK) == 0) {
            ASSERT_EQ(mount(nss.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr), 0);
        }
        Outcome found = spawn("/usr/bin/getent", {"getent", "hosts", "new.vorq.test"});
        EXPECT_EQ(found.status, 0);
        EXPECT_EQ(found.out.substr(0, found.out.find(' ')), "10.4.5.6");
        EXPECT_NE(found.out.find("new.vorq.test"), std::string::npos) << found.out;
        EXPECT_EQ(spawn("/usr/bin/getent", {"getent", "hosts", "keep.vorq.test"}).out.substr(0, 9), "10.1.2.3 ");
        Outcome gone = spawn("/usr/bin/getent", {"getent", "hosts", "gone.vorq.test"});
        EXPECT_EQ(gone.status, 2) << gone.out;
        EXPECT_EQ(gone.out, "");
    });
}

}  // namespace
}  // namespace blackbox
