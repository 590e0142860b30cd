// The command's dispatch, argument checks and status record, called in
// process so that the trace points it leaves can be read back exactly.
#include "vorqManageHostsFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "trace_testing.h"

namespace hostscmd {
namespace {

using Texts = std::vector<std::string>;
using xtr::testing::clearPrivateRing;
using xtr::testing::privateRingTexts;

using TempDir = testsupport::TempDir;

// Runs the command on the given arguments and returns its status and the
// trace points it recorded.
int run(std::vector<std::string> args, Texts *texts, bool withProgramName = true) {
    if (withProgramName) args.insert(args.begin(), "vorqManageHostsFile");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    clearPrivateRing();
    int status = vorqManageHostsFile(static_cast<int>(args.size()), argv.data());
    *texts = privateRingTexts();
    return status;
}

// The trace points that every run starts with.
Texts prologue(const std::vector<std::string> &argv) {
    Texts t{"XREMHSTT: -> vorqManageHostsFile", "XREMHSTD: argc=" + std::to_string(argv.size())};
    for (size_t i = 0; i < argv.size(); i++) t.push_back("XREMHSTD: argv[" + std::to_string(i) + "]=" + argv[i]);
    return t;
}

Texts epilogue(int status) {
    return {"XREMHSTF: vorqManageHostsFile exiting with exit status=" + std::to_string(status),
            "XREMHSTT: <- vorqManageHostsFile"};
}

Texts concat(std::initializer_list<Texts> parts) {
    Texts all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(Dispatch, ArgumentStatusesAndTheirTraces) {
    Texts t;
    EXPECT_EQ(run({}, &t), 1);
    EXPECT_EQ(
        t, concat({prologue({"vorqManageHostsFile"}), {"XREMHSTF: Missing operation on command line"}, epilogue(1)}));

    EXPECT_EQ(run({}, &t, false), 1);  // argc 0: no argv trace point
    EXPECT_EQ(
        t,
        concat({{"XREMHSTT: -> vorqManageHostsFile", "XREMHSTD: argc=0", "XREMHSTF: Missing operation on command line"},
                epilogue(1)}));

    for (std::string word : {"Update", "UPDATE", "updates", "upd", "remove ", ""}) {
        EXPECT_EQ(run({word, "f", "h", "1.2.3.4"}, &t), 2) << word;
        EXPECT_EQ(t[t.size() - 3], "XREMHSTF: Unknown operation: " + word);
    }

    EXPECT_EQ(run({"update", "f", "h"}, &t), 3);
    EXPECT_EQ(t, concat({prologue({"vorqManageHostsFile", "update", "f", "h"}),
                         {"XREMHSTF: Incorrect number of args: 4; should be 5"},
                         epilogue(3)}));
    EXPECT_EQ(run({"update", "f", "h", "a", "x"}, &t), 3);
    EXPECT_EQ(t[t.size() - 3], "XREMHSTF: Incorrect number of args: 6; should be 5");
    EXPECT_EQ(run({"remove", "f", "h", "1.2.3.4"}, &t), 3);
    EXPECT_EQ(t[t.size() - 3], "XREMHSTF: Incorrect number of args: 5; should be 4");
    EXPECT_EQ(run({"remove", "", "h", "1.2.3.4"}, &t), 3);  // the count is checked first, alone

    // Every empty entry is reported, in order, and the request is never announced.
    EXPECT_EQ(run({"update", "f", "", ""}, &t), 4);
    EXPECT_EQ(t, concat({prologue({"vorqManageHostsFile", "update", "f", "", ""}),
                         {"XREMHSTF: Argument 3 is null or 0-length", "XREMHSTF: Argument 4 is null or 0-length"},
                         epilogue(4)}));
    EXPECT_EQ(run({"", "remove", "f", "h"}, &t, false), 4);
    EXPECT_EQ(t[t.size() - 3], "XREMHSTF: Argument 0 is null or 0-length");

    // A name or address that would not stay one word of one entry; the file
    // path may hold anything.
    EXPECT_EQ(run({"update", "/no such#dir/f", "a\nb", "1.2.3.4 x"}, &t), 4);
    EXPECT_EQ(t, concat({prologue({"vorqManageHostsFile", "update", "/no such#dir/f", "a\nb", "1.2.3.4 x"}),
                         {"XREMHSTF: Argument 3 contains a blank, a control character or \"#\"",
                          "XREMHSTF: Argument 4 contains a blank, a control character or \"#\""},
                         epilogue(4)}));
}

TEST(Dispatch, SuccessfulUpdateLeavesTheDocumentedSequence) {
    TempDir dir;
    std::string hosts = dir.file("hosts", "127.0.0.1 localhost\n");
    Texts t;
    ASSERT_EQ(run({"update", hosts, "myhost", "10.0.0.5"}, &t), 0);
    EXPECT_EQ(t, concat({prologue({"vorqManageHostsFile", "update", hosts, "myhost", "10.0.0.5"}),
                         {"XREMHSTF: Handling an update request for file=" + hosts + "; hostname=myhost; IP=10.0.0.5",
                          "XREMHSTT: -> updateHostsFile", "XREMHSTF: Successfully updated " + hosts,
                          "XREMHSTF: updateHostsFile exiting with retval=0", "XREMHSTT: <- updateHostsFile"},
                         epilogue(0)}));

    ASSERT_EQ(run({"remove", hosts, "myhost"}, &t), 0);
    EXPECT_EQ(
        t, concat({prologue({"vorqManageHostsFile", "remove", hosts, "myhost"}),
                   {"XREMHSTF: Handling a remove request for file=" + hosts + "; hostname=myhost",
                    "XREMHSTT: -> removeHostFromHostsFile", "XREMHSTF: Successfully updated " + hosts,
                    "XREMHSTF: removeHostFromHostsFile exiting with retval=0", "XREMHSTT: <- removeHostFromHostsFile"},
                   epilogue(0)}));
}

TEST(Dispatch, MissingAndUnreadableFiles) {
    TempDir dir;
    Texts t;
    std::string missing = dir.path() + "/absent";
    EXPECT_EQ(run({"update", missing, "h", "1.2.3.4"}, &t), 9);
    EXPECT_EQ(std::count(t.begin(), t.end(), "XREMHSTF: fopen() of hosts file " + missing + " failed; errno=2"), 1);
    for (const auto &text : t) EXPECT_EQ(text.find("stat()"), std::string::npos) << text;

    std::string notDir = dir.file("plain", "x\n") + "/hosts";
    EXPECT_EQ(run({"remove", notDir, "h"}, &t), 10);
    EXPECT_EQ(t[t.size() - 3], "XREMHSTF: stat() for " + notDir + " failed; errno=" + std::to_string(ENOTDIR));
}

TEST(FileInfo, MissingFileRecordAndRestore) {
    TempDir dir;
    struct stat st {};
    ASSERT_EQ(getFileInfo((dir.path() + "/absent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, 1u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);

    // The mode goes on through the descriptor, without its set-id bits.
    std::string f = dir.file("f", "");
    ASSERT_EQ(chmod(f.c_str(), 06640), 0);
    ASSERT_EQ(getFileInfo(f.c_str(), &st), 0);
    ASSERT_EQ(chmod(f.c_str(), 0600), 0);
    int fd = open(f.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(setFileInfo(fd, f.c_str(), &st), 0);
    struct stat after {};
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);

    clearPrivateRing();
    close(fd);
    EXPECT_EQ(setFileInfo(fd, f.c_str(), &st), 11);
    EXPECT_EQ(privateRingTexts(), Texts{"XREMHSTF: chmod() for " + f + " failed; errno=" + std::to_string(EBADF)});
}

// The file appears after its status was recorded as missing: the mode of
// the file actually read is what the new file gets.
TEST(FileInfo, FileThatAppearsAfterTheStatusWasRecorded) {
    TempDir dir;
    std::string hosts = dir.path() + "/hosts";
    struct stat st {};
    ASSERT_EQ(getFileInfo(hosts.c_str(), &st), 0);
    ASSERT_EQ(st.st_mode, 1u);
    dir.file("hosts", "10.0.0.1 a\n");
    ASSERT_EQ(chmod(hosts.c_str(), 0644), 0);
    int fileInfoStatus = -1;
    ASSERT_EQ(updateHostsFile(hosts.c_str(), "b", "10.0.0.2", &fileInfoStatus), 0);
    EXPECT_EQ(fileInfoStatus, 0);
    struct stat after {};
    ASSERT_EQ(stat(hosts.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0644u);
    EXPECT_EQ(after.st_uid, getuid());
}

}  // namespace
}  // namespace hostscmd
