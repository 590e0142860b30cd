// The command line and the files the command refuses: in every case here
// the exit status says why and nothing on disk is touched.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "blackbox_support.h"

namespace blackbox {
namespace {

constexpr char kContent[] = "127.0.0.1 localhost\n10.0.0.9 myhost alias\n";

TEST_F(HostsTest, ArgumentErrorsLeaveTheFileAlone) {
    const std::string hosts = path("hosts");
    writeFile(hosts, kContent);
    const ino_t inode = lstatOf(hosts).st_ino;
    const std::string cmd = VORQ_HOSTS_CMD;
    struct Case {
        std::vector<std::string> argv;  // argv[0] included
        int status;
    };
    const Case cases[] = {
        {{}, 1},  // argc 0
        {{cmd}, 1},
        {{""}, 1},  // the count is checked before any argument
        {{cmd, "Update", hosts, "myhost", "10.0.0.5"}, 2},
        {{cmd, "UPDATE", hosts, "myhost", "10.0.0.5"}, 2},
        {{cmd, "updates", hosts, "myhost", "10.0.0.5"}, 2},
        {{cmd, "upd", hosts, "myhost", "10.0.0.5"}, 2},
        {{cmd, " remove", hosts, "myhost"}, 2},
        {{cmd, "", hosts, "myhost"}, 2},
        {{cmd, "update", hosts, "myhost"}, 3},
        {{cmd, "update", hosts, "myhost", "10.0.0.5", "extra"}, 3},
        {{cmd, "remove", hosts, "myhost", "10.0.0.5"}, 3},
        {{cmd, "remove", hosts}, 3},
        {{cmd, "update", hosts, ""}, 3},  // a count error wins over an empty argument
        {{cmd, "update", hosts, "", ""}, 4},
        {{cmd, "update", "", "myhost", "10.0.0.5"}, 4},
        {{"", "update", hosts, "myhost", "10.0.0.5"}, 4},
        {{"", "remove", hosts, "myhost"}, 4},
        {{cmd, "remove", hosts, ""}, 4},
        // A name or address that would add words or lines to the file.
        {{cmd, "update", hosts, "alice\n6.6.6.6 bank.example.com", "10.0.0.7"}, 4},
        {{cmd, "update", hosts, "my host", "10.0.0.5"}, 4},
        {{cmd, "update", hosts, "myhost", "10.0.0.5\tevil"}, 4},
        {{cmd, "update", hosts, "myhost\r", "10.0.0.5"}, 4},
        {{cmd, "update", hosts, "my\x01host", "10.0.0.5"}, 4},
        {{cmd, "update", hosts, "my\x1fhost", "10.0.0.5"}, 4},
        {{cmd, "update", hosts, "myhost", "10.0.0.5\x7f"}, 4},
        {{cmd, "update", hosts, "myhost", "#10.0.0.5"}, 4},
        {{cmd, "remove", hosts, "my#host"}, 4},
        {{cmd, "remove", hosts, "myhost\n"}, 4},
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const auto &a : c.argv) shown += "[" + a + "]";
        SCOPED_TRACE("argv " + shown);
        EXPECT_EQ(spawn(cmd, c.argv).status, c.status);
        EXPECT_EQ(readFile(hosts), kContent);
        EXPECT_EQ(lstatOf(hosts).st_ino, inode);
        EXPECT_EQ(tempFilesIn(dir_), std::vector<std::string>{});
    }
}

TEST_F(HostsTest, MissingFileIsStatus9AndCreatesNothing) {
    const std::string dangling = path("dangling");
    ASSERT_EQ(symlink("nowhere", dangling.c_str()), 0);
    for (const std::string &file : {path("hosts"), dangling}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(runCommand({"update", file, "myhost", "10.0.0.5"}), 9);
        EXPECT_EQ(runCommand({"remove", file, "myhost"}), 9);
    }
    EXPECT_NE(access(path("hosts").c_str(), F_OK), 0);
    EXPECT_NE(access(path("nowhere").c_str(), F_OK), 0);
    EXPECT_TRUE(S_ISLNK(lstatOf(dangling).st_mode));
}

TEST_F(HostsTest, UnreadableStatusIsStatus10) {
    const std::string regular = path("regular");
    writeFile(regular, kContent);
    const std::string loop = path("loop");
    ASSERT_EQ(symlink("loop", loop.c_str()), 0);
    for (const std::string &file : {regular + "/hosts", loop, path(std::string(300, 'n'))}) {
        SCOPED_TRACE(file.substr(0, 80));
        EXPECT_EQ(runCommand({"update", file, "myhost", "10.0.0.5"}), 10);
        EXPECT_EQ(runCommand({"remove", file, "myhost"}), 10);
    }
    EXPECT_EQ(readFile(regular), kContent);
    EXPECT_TRUE(S_ISLNK(lstatOf(loop).st_mode));
}

// A directory, a FIFO without a writer and a device are refused at once
// (a hang is caught by the child's alarm and the test's timeout).
TEST_F(HostsTest, NonRegularFilesAreRefused) {
    const std::string directory = path("directory"), fifo = path("fifo"), device = path("null");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    writeFile(directory + "/inside", kContent);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::vector<std::string> files{directory, fifo};
    // The device is made here rather than using the machine's own, which a
    // faulty rewrite would replace.
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) files.push_back(device);
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        const struct stat before = lstatOf(file);
        EXPECT_EQ(runCommand({"update", file, "myhost", "10.0.0.5"}), 9);
        EXPECT_EQ(runCommand({"remove", file, "myhost"}), 9);
        const struct stat after = lstatOf(file);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    EXPECT_EQ(readFile(directory + "/inside"), kContent);
    EXPECT_EQ(tempFilesIn(directory), std::vector<std::string>{});
    if (files.size() < 3) GTEST_SKIP() << "cannot create a device node here; directory and FIFO checked";
}

}  // namespace
}  // namespace blackbox
