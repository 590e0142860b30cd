// The rewrite's failure paths and their trace points.  Faults that need a
// mount namespace (a full file system, a busy target) run in a forked child
// that sends its trace points back through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ipc_testing.h"
#include "trace_testing.h"
#include "vorqManageHostsFile.h"

namespace hostscmd {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;
using xtr::testing::clearPrivateRing;
using xtr::testing::privateRingTexts;

struct Outcome {
    int status = -1;
    Texts texts;
};

// Runs fn (which returns a status) in a child with a mount namespace of its
// own; the child's trace points come back NUL-separated through a pipe.
Outcome inMountNamespace(const std::function<int()> &fn) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (const char *refused = testsupport::enterPrivateMountNamespace()) {
            ADD_FAILURE() << refused;
            std::fflush(nullptr);
            _exit(99);
        }
        clearPrivateRing();
        int status = fn();
        std::string out;
        for (const auto &t : privateRingTexts()) out += t + '\0';
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(98);
        _exit(status);
    }
    close(fds[1]);
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    Outcome o;
    o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    std::stringstream ss(all);
    for (std::string t; std::getline(ss, t, '\0');) o.texts.push_back(t);
    return o;
}

using testsupport::readFile;

bool hasTempFile(const std::string &dir) {
    for (const auto &e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().rfind("wynTempEtcHosts", 0) == 0) return true;
    }
    return false;
}

class Rewrite : public ::testing::Test {
protected:
    void SetUp() override { hosts_ = tmp_.file("hosts", old_); }
    // What every failed rewrite must leave: the old bytes and no temp file.
    void expectUntouched() {
        EXPECT_EQ(readFile(hosts_), old_);
        EXPECT_FALSE(hasTempFile(dir_));
    }
    Texts frame(const std::string &op, Texts middle, int retval) {
        Texts t{"XREMHSTT: -> " + op};
        t.insert(t.end(), middle.begin(), middle.end());
        t.push_back("XREMHSTF: " + op + " exiting with retval=" + std::to_string(retval));
        t.push_back("XREMHSTT: <- " + op);
        return t;
    }

    testsupport::TempDir tmp_{"hosts_rewrite_test"};
    const std::string dir_ = tmp_.path();
    std::string hosts_;
    const std::string old_ = "127.0.0.1 localhost\n10.0.0.9 myhost alias\n";
};

TEST_F(Rewrite, FullFileSystemIsAFailedWrite) {
    // A tmpfs too small for the new content: the old file survives whole.
    std::string small = dir_ + "/small";
    fs::create_directory(small);
    Outcome o = inMountNamespace([&] {
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8k") != 0) return 97;
        std::string h = small + "/hosts";
        std::ofstream(h, std::ios::binary) << old_;
        std::string big(20000, 'x');
        int rc = updateHostsFile(h.c_str(), big.c_str(), "10.0.0.5");
        if (readFile(h) != old_ || hasTempFile(small)) return 96;
        return rc;
    });
    EXPECT_EQ(o.status, 8);
    ASSERT_EQ(o.texts.size(), 4u);
    EXPECT_EQ(o.texts.front(), "XREMHSTT: -> updateHostsFile");
    // The failure surfaces at a write or at the flush, whichever meets the full disk.
    const std::string &why = o.texts[1];
    EXPECT_TRUE(
        why.rfind("XREMHSTF: fputs() failed on write to temporary hosts file: " + small + "/wynTempEtcHosts", 0) == 0 ||
        (why.rfind("XREMHSTF: fflush() of temporary hosts file " + small + "/wynTempEtcHosts", 0) == 0 &&
         why.find("errno=28") != std::string::npos))
        << why;
    EXPECT_EQ(o.texts[2], "XREMHSTF: updateHostsFile exiting with retval=8");
}

TEST_F(Rewrite, BusyTargetIsAFailedRename) {
    // A file mounted over the hosts path cannot be renamed onto.
    std::string other = dir_ + "/other";
    std::ofstream(other) << "x\n";
    Outcome o = inMountNamespace([&] {
        if (mount(other.c_str(), hosts_.c_str(), nullptr, MS_BIND, nullptr) != 0) return 97;
        int rc = removeHostFromHostsFile(hosts_.c_str(), "myhost");
        umount(hosts_.c_str());
        return rc;
    });
    EXPECT_EQ(o.status, 7);
    ASSERT_EQ(o.texts.size(), 4u);
    EXPECT_EQ(o.texts[1].rfind("XREMHSTF: rename() of " + dir_ + "/wynTempEtcHosts", 0), 0u) << o.texts[1];
    EXPECT_NE(o.texts[1].find(" to " + hosts_ + " failed; errno=" + std::to_string(EBUSY)), std::string::npos);
    expectUntouched();
}

TEST_F(Rewrite, PathsThatCannotHoldTheTemporaryName) {
    // A directory part so long that the template no longer fits 4096 bytes.
    const size_t target = 4080;
    std::string deep = dir_;
    while (deep.size() + 201 <= target) deep += "/" + std::string(200, 'd');
    if (target - deep.size() >= 2) deep += "/" + std::string(target - deep.size() - 1, 'e');
    ASSERT_GT(deep.size() + 1 + sizeof "wynTempEtcHostsXXXXXX", 4096u);
    ASSERT_NO_THROW(fs::create_directories(deep));
    std::string longHosts = deep + "/h";
    ASSERT_LT(longHosts.size(), 4096u);
    std::ofstream(longHosts) << old_;
    clearPrivateRing();
    EXPECT_EQ(updateHostsFile(longHosts.c_str(), "n", "10.0.0.1"), 5);
    EXPECT_EQ(privateRingTexts(),
              frame("updateHostsFile",
                    {"XREMHSTF: mkstemp() for temp file failed; errno=" + std::to_string(ENAMETOOLONG)}, 5));
    EXPECT_EQ(readFile(longHosts), old_);
}

TEST_F(Rewrite, NonRegularFilesAreRefusedWithoutBlocking) {
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, dir_, std::string("/dev/null")}) {
        clearPrivateRing();
        EXPECT_EQ(removeHostFromHostsFile(path.c_str(), "myhost"), 9) << path;
        EXPECT_EQ(privateRingTexts(),
                  frame("removeHostFromHostsFile", {"XREMHSTF: hosts file " + path + " is not a regular file"}, 9));
    }
    expectUntouched();
}

TEST_F(Rewrite, ReadErrorEndsTheCopy) {
    // Reading this process's memory image from offset 0 fails with EIO.
    std::string link = dir_ + "/mem";
    ASSERT_EQ(symlink("/proc/self/mem", link.c_str()), 0);
    clearPrivateRing();
    EXPECT_EQ(updateHostsFile(link.c_str(), "myhost", "10.0.0.5"), 9);
    EXPECT_EQ(privateRingTexts(),
              frame("updateHostsFile",
                    {"XREMHSTF: read of hosts file " + link + " failed; errno=" + std::to_string(EIO)}, 9));
    EXPECT_TRUE(fs::is_symlink(link));
    expectUntouched();
}

TEST_F(Rewrite, TemporaryFileCarriesTheModeOfTheFileReadBeforeTheRename) {
    ASSERT_EQ(chmod(hosts_.c_str(), 0644), 0);
    struct stat st {};
    ASSERT_EQ(stat(hosts_.c_str(), &st), 0);
    ino_t oldInode = st.st_ino;
    ASSERT_EQ(updateHostsFile(hosts_.c_str(), "myhost", "10.0.0.9"), 0);
    struct stat after {};
    ASSERT_EQ(stat(hosts_.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0644u);  // without any chmod afterwards
    EXPECT_NE(after.st_ino, oldInode);
    EXPECT_EQ(readFile(hosts_), old_);
    EXPECT_FALSE(hasTempFile(dir_));
}

}  // namespace
}  // namespace hostscmd
