// Fault campaign: each system call of the rewrite fails in turn, injected
// by strace into the running command.  A first run under strace records
// the calls the command makes on this file; every injection then names a
// call by its ordinal among the calls of the same name, so the campaign
// follows the command (and the sanitizer runtimes) instead of guessing.
//
// For every fault: the exit status is the one of the failed step, the
// hosts file is byte-identical to the old one unless the status is 0, 11
// or 12 (where it holds the new content), and no temporary file is left.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "blackbox_support.h"

namespace blackbox {
namespace {

// One system call from an strace log.
struct Call {
    std::string name;
    std::string args;  // everything between the parentheses
    long result = 0;
    int ordinal = 0;  // 1 for the thread's first call of this name, and so on
};

std::vector<Call> parseLog(const std::string &text) {
    // "PID name(args) = result ..." (strace -f writes the pid first)
    // strace counts the calls of each thread on its own (a sanitizer's
    // background thread makes calls of its own), and so are they counted here.
    static const std::regex line(R"(^(?:(\d+)\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+))");
    std::vector<Call> calls;
    std::map<std::string, int> seen;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_search(l, m, line)) continue;
        Call c{m[2], m[3], std::stol(m[4]), 0};
        c.ordinal = ++seen[m[1].str() + " " + c.name];
        calls.push_back(c);
    }
    return calls;
}

constexpr const char *kTraced = "trace=openat,flock,read,write,fsync,close,renameat,fchmod,fchown";

// The leak checker stops itself under ptrace and fails the run, so it is
// off for runs under strace; the other black-box tests run the command
// with it on.  Everything else the sanitizers check stays on.
Launch underPtrace() {
    const char *asan = std::getenv("ASAN_OPTIONS");
    Launch how;
    how.env = {std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "detect_leaks=0"};
    return how;
}

// One injected fault and what it must lead to.
struct Fault {
    std::string step;  // the step of the rewrite, in the table's words
    std::string syscall;  // strace's name of the call
    int ordinal;  // which call of that name fails
    std::string error;  // errno name
    int expected;  // exit status
};

class FaultCampaign : public HostsTest {
protected:
    void SetUp() override {
        HostsTest::SetUp();
        if (access(VORQ_STRACE, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
        hosts_ = path("hosts");
        // About 1.4 MB: the temporary file is written in many 64 KiB pieces.
        std::string text = "127.0.0.1 localhost\n";
        for (int i = 0; i < 40000; i++) {
            text += "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1 host" + std::to_string(i) +
                    " alias" + std::to_string(i) + "\n";
        }
        old_ = text;
        writeFile(hosts_, old_);
        ASSERT_EQ(chmod(hosts_.c_str(), 0644), 0);
    }

    std::vector<std::string> commandArgs() const {
        return {VORQ_HOSTS_CMD, "update", hosts_, "host20000", "192.0.2.77"};
    }

    // Runs the command under strace with `options`; returns its status.
    int underStrace(const std::vector<std::string> &options) const {
        std::vector<std::string> args{VORQ_STRACE, "-f", "-qq"};
        args.insert(args.end(), options.begin(), options.end());
        for (const auto &a : commandArgs()) args.push_back(a);
        return spawn(VORQ_STRACE, args, underPtrace()).status;
    }

    // The calls of a clean run, and the content it writes.
    std::vector<Call> recordCleanRun() {
        const std::string log = dir_ + ".strace";  // outside the directory under test
        EXPECT_EQ(underStrace({"-o", log, "-e", kTraced}), 0);
        new_ = readFile(hosts_);
        const std::string calls = readFile(log);
        std::remove(log.c_str());
        writeFile(hosts_, old_);
        return parseLog(calls);
    }

    void inject(const Fault &f) {
        SCOPED_TRACE(f.step + ": " + f.syscall + " #" + std::to_string(f.ordinal) + " fails with " + f.error);
        writeFile(hosts_, old_);
        const std::string injection = f.syscall + ":error=" + f.error + ":when=" + std::to_string(f.ordinal);
        const int status = underStrace({"-o", "/dev/null", "-e", "trace=" + f.syscall, "-e", "inject=" + injection});
        EXPECT_EQ(status, f.expected);
        const std::string now = readFile(hosts_);
        if (f.expected == 0 || f.expected == 11 || f.expected == 12) {
            EXPECT_TRUE(now == new_) << "the new content was not installed whole";
        } else {
            EXPECT_TRUE(now == old_) << "the hosts file changed although the rewrite failed";
        }
        EXPECT_EQ(tempFilesIn(dir_), std::vector<std::string>{});
        std::printf("| %s | `%s` #%d | %s | %d | %d |\n", f.step.c_str(), f.syscall.c_str(), f.ordinal, f.error.c_str(),
                    f.expected, status);
    }

    std::string hosts_, old_, new_;
};

// The first call matching pred, or null.
const Call *find(const std::vector<Call> &calls, const std::function<bool(const Call &)> &pred) {
    for (const Call &c : calls) {
        if (pred(c)) return &c;
    }
    return nullptr;
}

TEST_F(FaultCampaign, EveryStepOfTheRewriteFailsInTurn) {
    const std::vector<Call> calls = recordCleanRun();
    ASSERT_NE(new_, old_);
    const Call *openDir = find(calls, [&](const Call &c) {
        return c.name == "openat" && c.args.find("\"" + dir_ + "\", O_RDONLY") != std::string::npos;
    });
    const Call *openHosts = find(calls, [&](const Call &c) {
        return c.name == "openat" && c.args.find("\"hosts\", O_RDONLY") != std::string::npos;
    });
    const Call *createTemp = find(calls, [&](const Call &c) {
        return c.name == "openat" && c.args.find("wynTempEtcHosts") != std::string::npos &&
               c.args.find("O_EXCL") != std::string::npos;
    });
    ASSERT_TRUE(openDir && openHosts && createTemp)
        << "the clean run made no open of the directory, hosts or temporary file";
    const std::string hostsFd = std::to_string(openHosts->result) + ",";
    const std::string tempFd = std::to_string(createTemp->result) + ",";
    const std::string tempFdOnly = std::to_string(createTemp->result);
    auto on = [](const std::string &name, const std::string &fdPrefix) {
        return [=](const Call &c) { return c.name == name && c.args.rfind(fdPrefix, 0) == 0; };
    };
    std::vector<const Call *> reads, writes;
    for (const Call &c : calls) {
        if (&c > openHosts && on("read", hostsFd)(c)) reads.push_back(&c);  // not the loader's reads
        if (&c > createTemp && on("write", tempFd)(c)) writes.push_back(&c);
    }
    ASSERT_GT(writes.size(), 8u) << "the file is too small to need several writes";
    const Call *syncTemp = find(calls, [&](const Call &c) { return c.name == "fsync" && c.args == tempFdOnly; });
    const Call *closeTemp = find(
        calls, [&](const Call &c) { return c.name == "close" && c.args == tempFdOnly && syncTemp && &c > syncTemp; });
    const Call *syncDir = find(calls, [&](const Call &c) { return c.name == "fsync" && syncTemp && &c > syncTemp; });
    const Call *renameTemp = find(calls, [&](const Call &c) { return c.name == "renameat"; });
    const Call *lockHosts = find(calls, on("flock", hostsFd));
    const Call *fchmodTemp = find(calls, on("fchmod", tempFd));
    const Call *fchownTemp = find(calls, on("fchown", tempFd));
    ASSERT_TRUE(syncTemp && closeTemp && syncDir && renameTemp && lockHosts && fchmodTemp && fchownTemp)
        << "a step of the rewrite was not seen in the clean run";

    std::vector<Fault> faults = {
        {"open the hosts file's directory", "openat", openDir->ordinal, "ENOENT", 9},
        {"open the hosts file", "openat", openHosts->ordinal, "EACCES", 9},
        {"lock the hosts file", "flock", lockHosts->ordinal, "ENOLCK", 9},
        {"read the hosts file (first read)", "read", reads.front()->ordinal, "EIO", 9},
        {"read the hosts file (middle read)", "read", reads[reads.size() / 2]->ordinal, "EIO", 9},
        {"create the temporary file (mkstemp)", "openat", createTemp->ordinal, "EACCES", 5},
        {"create the temporary file (mkstemp)", "openat", createTemp->ordinal, "ENOSPC", 5},
        {"create the temporary file: name taken, mkstemp tries another", "openat", createTemp->ordinal, "EEXIST", 0},
        {"mode of the temporary file", "fchmod", fchmodTemp->ordinal, "EPERM", 11},
        {"owner of the temporary file", "fchown", fchownTemp->ordinal, "EPERM", 12},
        {"fsync of the temporary file", "fsync", syncTemp->ordinal, "EIO", 8},
        {"close of the temporary file", "close", closeTemp->ordinal, "EIO", 8},
        {"rename over the hosts file", "renameat", renameTemp->ordinal, "EXDEV", 7},
        {"rename over the hosts file", "renameat", renameTemp->ordinal, "EBUSY", 7},
        {"fsync of the directory (best effort)", "fsync", syncDir->ordinal, "EIO", 0},
    };
    // Every write of the temporary file; the last one is the final flush.
    for (size_t i = 0; i < writes.size(); i++) {
        const bool last = i + 1 == writes.size();
        faults.push_back(
            {last ? "write of the temporary file (the final flush)"
                  : "write of the temporary file " + std::to_string(i + 1) + "/" + std::to_string(writes.size()),
             "write", writes[i]->ordinal, i % 2 ? "EIO" : "ENOSPC", 8});
    }
    std::printf("| step | failed call | errno | expected | got |\n|---|---|---|---|---|\n");
    for (const Fault &f : faults) inject(f);
}

// The same shared steps for a removal: a write and the rename fail.
TEST_F(FaultCampaign, RemovalFailsLikeAnUpdate) {
    for (const auto &[syscall, error, expected] :
         {std::tuple<std::string, std::string, int>{"write", "ENOSPC", 8}, {"renameat", "EXDEV", 7}}) {
        SCOPED_TRACE("remove: " + syscall + " fails with " + error);
        writeFile(hosts_, old_);
        std::vector<std::string> args{VORQ_STRACE,
                                      "-f",
                                      "-qq",
                                      "-o",
                                      "/dev/null",
                                      "-e",
                                      "trace=" + syscall,
                                      "-e",
                                      "inject=" + syscall + ":error=" + error + ":when=1+",
                                      VORQ_HOSTS_CMD,
                                      "remove",
                                      hosts_,
                                      "host20000"};
        EXPECT_EQ(spawn(VORQ_STRACE, args, underPtrace()).status, expected);
        EXPECT_TRUE(readFile(hosts_) == old_);
        EXPECT_EQ(tempFilesIn(dir_), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace blackbox
