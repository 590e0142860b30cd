// The safe rewrite under real conditions: mode and ownership, unprivileged
// callers, a full disk, a busy or read-only directory, paths at the length
// limit, injected faults, and the result read by the system's resolver.
// After every failure the hosts file holds its old bytes and no temporary
// file is left.
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "blackbox_support.h"
#include "kbvdtequ.h"

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
            content += "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250) + " host" + std::to_string(i) +
                       " alias" + std::to_string(i) + "\n";
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
    for (const Case &c :
         {Case{"fdopen", 6}, Case{"fsync", 8}, Case{"fclose", 8}, Case{"getline", 9}, Case{"getline:1", 9}}) {
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

// An unprivileged user who may write the hosts file's directory races root's
// runs: it swaps the hosts file between its own program, links to a
// root-owned set-user-id file, to a root-only file and to a file it wants
// to own, swaps a directory component between its own directory and one
// it may not write, and makes root's trace calls pause through the shared
// header.  Whatever the timing, root never leaves a set-id file, never
// changes a file outside the directory, never copies a root-only file where
// the attacker can read it, and never writes the attacker's lines into the
// directory it may not write.
TEST_F(HostsTest, LocalAttackerCannotRedirectTheRewrite) {
    REQUIRE_ROOT();
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const std::string suid = path("suid"), secret = path("secret"), victim = path("victim"), guarded = path("guarded");
    const std::string pub = path("pub"), mine = pub + "/mine", evil = "1.2.3.4 evil\n";
    for (const auto &[file, mode] : {std::pair{suid, 04755}, {secret, 0600}, {victim, 0600}}) {
        writeFile(file, "10.6.6.6 SECRET\n");
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
    }
    for (const std::string &d : {pub, mine, guarded}) ASSERT_EQ(mkdir(d.c_str(), 0777), 0);
    ASSERT_EQ(chmod(pub.c_str(), 0777), 0);
    ASSERT_EQ(chown(mine.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(guarded.c_str(), 0755), 0);
    writeFile(guarded + "/hosts", "10.0.0.1 guarded\n");
    inMountNamespace([&] {
        if (const char *refused = testsupport::enterIpcNamespace()) FAIL() << refused;
        Launch root;
        root.ownIpcNamespace = false;
        ASSERT_EQ(runCommand({"remove", guarded + "/hosts", "absent"}, root), 0);  // creates the segment
        const pid_t attacker = fork();
        if (attacker == 0) {
            if (testsupport::dropToNobody() != nullptr) _exit(2);
            void *shm = shmat(shmget(XTR_SHM_KEY, 0, 0), nullptr, 0);
            const std::string hosts = pub + "/hosts", swap = pub + "/swap", planted = mine + "/hosts";
            for (unsigned i = 0;; i++) {
                if (shm != reinterpret_cast<void *>(-1)) {  // make root's trace calls pause
                    auto *h = static_cast<TRACE_HDR *>(shm);
                    h->pid = getpid(), h->cont = 1, h->priority = 1, h->count = 1000;
                }
                unlink(swap.c_str());
                if (i % 4 == 0) {
                    const int fd = open(swap.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0755);
                    (void)!write(fd, evil.data(), evil.size());
                    fchmod(fd, 04755);
                    close(fd);
                } else {
                    (void)!symlink((i % 4 == 1 ? suid : i % 4 == 2 ? secret : victim).c_str(), swap.c_str());
                }
                rename(swap.c_str(), hosts.c_str());
                (void)!symlink(i % 2 ? mine.c_str() : guarded.c_str(), (swap + "l").c_str());
                rename((swap + "l").c_str(), (pub + "/link").c_str());
                const int fd = open(planted.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                (void)!write(fd, evil.data(), evil.size());
                close(fd);
            }
        }
        for (int run = 0; run < 100; run++) {
            runCommand({"update", pub + (run % 2 ? "/hosts" : "/link/hosts"), "h", "10.0.0." + std::to_string(run)},
                       root);
        }
        kill(attacker, SIGKILL);
        waitpid(attacker, nullptr, 0);
    });
    for (const auto &[file, mode] : {std::pair{suid, 04755u}, {secret, 0600u}, {victim, 0600u}}) {
        const struct stat st = lstatOf(file);
        EXPECT_EQ(st.st_mode & 07777, mode) << file;
        EXPECT_EQ(st.st_uid, 0u) << file;
        EXPECT_EQ(readFile(file), "10.6.6.6 SECRET\n") << file;
    }
    EXPECT_EQ(readFile(guarded + "/hosts").find("evil"), std::string::npos);
    for (const auto &e : std::filesystem::recursive_directory_iterator(pub)) {
        const struct stat st = lstatOf(e.path());
        if (st.st_uid == kNobody || !S_ISREG(st.st_mode)) continue;  // the attacker's own
        EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID), 0u) << "set-id file " << e.path();
        if (readFile(e.path()).find("SECRET") != std::string::npos) {
            EXPECT_EQ(st.st_mode & 077, 0u) << "root-only content readable by others in " << e.path();
        }
    }
}

// Runs at once on one file take turns: no update is lost.  A run gives up
// with status 9 when the file is held too long, leaving it as it was.
TEST_F(HostsTest, ConcurrentRunsLoseNoUpdate) {
    const std::string hosts = path("hosts");
    writeFile(hosts, kOld);
    std::vector<std::thread> runs;
    std::vector<int> statuses(16, -1);
    for (int i = 0; i < 16; i++) {
        runs.emplace_back([&, i] {
            statuses[i] = runCommand({"update", hosts, "host" + std::to_string(i), "10.1.0." + std::to_string(i)});
        });
    }
    for (auto &t : runs) t.join();
    const std::string after = readFile(hosts);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(statuses[i], 0);
        EXPECT_NE(after.find("10.1.0." + std::to_string(i) + " host" + std::to_string(i) + "\n"), std::string::npos)
            << "update " << i << " lost";
    }

    const int held = open(hosts.c_str(), O_RDONLY | O_CLOEXEC);  // not inherited by the run
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    EXPECT_EQ(runCommand({"remove", hosts, "host3"}), 9);
    EXPECT_EQ(readFile(hosts), after);
    close(held);
}

// Inside a mount namespace: `getent hosts NAME` with `hosts` in place of the
// system's hosts file and only the file consulted.  Returns getent's status
// and, in *address, the first word it printed.
int resolve(const std::string &hosts, const std::string &nss, const std::string &name, std::string *address) {
    // A file replaced since it was bound cannot be bound over: the earlier
    // binding of this namespace goes first.
    static bool bound = false;
    if (bound) {
        EXPECT_EQ(umount2("/etc/hosts", MNT_DETACH), 0) << std::strerror(errno);
    }
    bound = mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    EXPECT_TRUE(bound) << std::strerror(errno);
    if (access("/etc/nsswitch.conf", F_OK) == 0) {
        EXPECT_EQ(mount(nss.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr), 0);
    }
    const Outcome o = spawn("/usr/bin/getent", {"getent", "hosts", name});
    *address = o.out.substr(0, o.out.find(' '));
    return o.status;
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
        std::string address;
        EXPECT_EQ(resolve(hosts, nss, "new.vorq.test", &address), 0);
        EXPECT_EQ(address, "10.4.5.6");
        EXPECT_EQ(resolve(hosts, nss, "keep.vorq.test", &address), 0);
        EXPECT_EQ(address, "10.1.2.3");
        EXPECT_EQ(resolve(hosts, nss, "gone.vorq.test", &address), 2);
        EXPECT_EQ(address, "");
    });
}

// Generated files with LF and CR LF line ends, comments that mention the
// names, tabs and mixed letter case: after each update the resolver gives
// the new address first, after each removal the name no longer resolves.
// Names stand only as host names, never as aliases.
TEST_F(HostsTest, ResolverAgreesOnGeneratedFiles) {
    REQUIRE_ROOT();
    if (access("/usr/bin/getent", X_OK) != 0) GTEST_SKIP() << "no getent on this machine";
    const std::string hosts = path("hosts"), nss = path("nsswitch.conf");
    writeFile(nss, "hosts: files\n");
    auto name = [](unsigned i, bool upper) {
        return std::string(upper ? "N" : "n") + std::to_string(i) + ".vorq.test";
    };
    std::mt19937 random(20261208);
    for (int file = 0; file < 4; file++) {
        std::string content;
        for (int line = 0; line < 30; line++) {
            const unsigned n = random() % 8;
            const char *end = random() % 2 ? "\r\n" : "\n";
            const char *gap = random() % 3 ? " " : "\t";
            switch (random() % 4) {
                case 0:
                    content += "# " + name(n, false) + " is the build server" + end;
                    break;
                case 1:
                    content += "#10.9.0." + std::to_string(n) + gap + name(n, false) + end;
                    break;
                default:
                    content += "10.0." + std::to_string(file) + "." + std::to_string(line) + gap +
                               name(n, random() % 2) +
                               (random() % 2 ? std::string(gap) + "alias" + std::to_string(line) : "") + end;
            }
        }
        writeFile(hosts, content);
        SCOPED_TRACE(content);
        inMountNamespace([&] {
            for (int op = 0; op < 6; op++) {
                const std::string host = name(random() % 8, random() % 2);
                const std::string address = "10.8." + std::to_string(file) + "." + std::to_string(op);
                const bool update = random() % 3 != 0;
                std::string got;
                if (update) {
                    ASSERT_EQ(runCommand({"update", hosts, host, address}), 0);
                    EXPECT_EQ(resolve(hosts, nss, host, &got), 0) << "update " << host;
                    EXPECT_EQ(got, address) << "update " << host;
                } else {
                    ASSERT_EQ(runCommand({"remove", hosts, host}), 0);
                    EXPECT_EQ(resolve(hosts, nss, host, &got), 2) << "remove " << host << " left " << got;
                }
            }
        });
    }
}

}  // namespace
}  // namespace blackbox
