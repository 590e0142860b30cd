#include "blackbox_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "testsupport.h"

extern char **environ;

namespace blackbox {
namespace {

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Our environment with `extra` added; an extra entry replaces ours of the
// same name.
std::vector<std::string> mergedEnv(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const auto &x : extra) {
            if (entry.substr(0, entry.find('=') + 1) == std::string_view(x).substr(0, x.find('=') + 1)) {
                replaced = true;
            }
        }
        if (!replaced) env.emplace_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> p;
    for (auto &s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

Outcome spawn(const std::string &program, const std::vector<std::string> &args, const Launch &how) {
    std::vector<std::string> argStrings = args;
    std::vector<std::string> extraEnv = how.env;
    std::string file = program;
    if (how.asNobody && program.find('/') != std::string::npos) {
        file = testsupport::reachableCopy(program);
        extraEnv.push_back("LD_LIBRARY_PATH=" + file.substr(0, file.rfind('/')));
    }
    std::vector<std::string> envStrings = mergedEnv(extraEnv);
    std::vector<char *> argv = pointers(argStrings), envp = pointers(envStrings);
    int out[2], setup[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(setup, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return {};
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        auto fail = [&](const char *what) {
            int e = errno;
            (void)!write(setup[1], what, std::strlen(what));
            (void)!write(setup[1], ": ", 2);
            (void)!write(setup[1], std::strerror(e), std::strlen(std::strerror(e)));
            _exit(127);
        };
        if (dup2(out[1], STDOUT_FILENO) < 0) fail("dup2");
        if (const char *refused = how.ownIpcNamespace ? testsupport::enterIpcNamespace() : nullptr) fail(refused);
        if (const char *refused = how.asNobody ? testsupport::dropToNobody() : nullptr) fail(refused);
        if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) fail("chdir");
        alarm(60);  // a hung child dies instead of blocking the suite
        execvpe(file.c_str(), argv.data(), envp.data());
        fail("exec");
    }
    close(out[1]);
    close(setup[1]);
    Outcome result;
    result.out = drain(out[0]);
    std::string setupError = drain(setup[0]);
    close(out[0]);
    close(setup[0]);
    result.status = testsupport::statusOf(testsupport::reap(pid));
    if (!setupError.empty()) ADD_FAILURE() << "starting " << file << " failed: " << setupError;
    return result;
}

int runCommand(const std::vector<std::string> &operands, const Launch &how) {
    std::vector<std::string> args{VORQ_HOSTS_CMD};
    args.insert(args.end(), operands.begin(), operands.end());
    return spawn(VORQ_HOSTS_CMD, args, how).status;
}

std::vector<std::string> faultEnv(const std::string &call) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions =
        std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    return {std::string("LD_PRELOAD=") + VORQ_FAULT_SHIM, "VORQ_FAULT=" + call, asanOptions};
}

void inMountNamespace(const std::function<void()> &body) {
    testsupport::inChildAfter(testsupport::enterPrivateMountNamespace, body);
}

struct stat lstatOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    return st;
}

std::vector<std::string> tempFilesIn(const std::string &dir) {
    std::vector<std::string> found;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (std::strncmp(e->d_name, "wynTempEtcHosts", 15) == 0) found.emplace_back(e->d_name);
        }
        closedir(d);
    }
    return found;
}

void HostsTest::SetUp() {
    tmp_ = std::make_unique<testsupport::TempDir>("vorqHosts");
    dir_ = tmp_->path();
}

void HostsTest::TearDown() {
    if (dir_.empty()) return;
    EXPECT_EQ(tempFilesIn(dir_), std::vector<std::string>{}) << "temporary file left in " << dir_;
    tmp_.reset();
}

}  // namespace blackbox
