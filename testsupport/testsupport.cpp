#include "testsupport.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = pattern;
    owner_ = getpid();
}

TempDir::~TempDir() {
    // A forked child that exits normally leaves the directory to its maker.
    if (getpid() != owner_) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string &name, const std::string &content) const {
    const std::string p = sub(name);
    writeFile(p, content);
    return p;
}

std::string TempDir::dir(const std::string &name, mode_t mode, uid_t owner) const {
    const std::string p = sub(name);
    const bool made = chmod(path_.c_str(), 0755) == 0 && mkdir(p.c_str(), 0700) == 0 &&
                      chown(p.c_str(), owner, owner) == 0 && chmod(p.c_str(), mode) == 0;
    EXPECT_TRUE(made) << p << ": " << std::strerror(errno);
    return p;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string readAll(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) s.append(buf, static_cast<size_t>(n));
    return s;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

bool waitUntil(const std::function<bool()> &pred, int seconds) {
    for (long i = 0; i < seconds * 1000L; i++) {
        if (pred()) return true;
        usleep(1000);
    }
    return pred();
}

int reap(pid_t pid, int seconds) {
    int ws = 0;
    if (!waitUntil([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, seconds)) {
        ADD_FAILURE() << "process " << pid << " hung; killed";
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, &ws, 0);
    }
    return ws;
}

bool exitedCleanly(int ws) { return WIFEXITED(ws) && WEXITSTATUS(ws) == 0; }

int statusOf(int ws) { return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws); }

pid_t spawn(const std::function<void()> &body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
    return pid;
}

void inChild(const std::function<void()> &body) {
    const pid_t pid = spawn([&] {
        setpgid(0, 0);
        body();
    });
    if (pid <= 0) return;
    const int ws = reap(pid, 110);
    EXPECT_TRUE(exitedCleanly(ws)) << "child wait status " << ws << " (its failures are printed above)";
}

const char *enterIpcNamespace() {
    static char why[256];
    if (geteuid() == 0 && unshare(CLONE_NEWIPC) == 0) return nullptr;
    const int direct = geteuid() == 0 ? errno : 0;
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0) return nullptr;
    const int viaUser = errno;
    std::snprintf(why, sizeof why,
                  "entering a fresh IPC namespace was refused: unshare(CLONE_NEWIPC): %s; "
                  "unshare(CLONE_NEWUSER | CLONE_NEWIPC): %s",
                  direct != 0 ? std::strerror(direct) : "not tried (not root)", std::strerror(viaUser));
    return why;
}

const char *enterPrivateMountNamespace() {
    static char why[320];
    if (unshare(CLONE_NEWNS) != 0) {
        std::snprintf(why, sizeof why, "entering a new mount namespace was refused: unshare(CLONE_NEWNS): %s%s",
                      std::strerror(errno), errno == EPERM ? " (it needs root, CAP_SYS_ADMIN)" : "");
        return why;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::snprintf(why, sizeof why,
                      "making the mounts of a new mount namespace private was refused: "
                      "mount --make-rprivate /: %s%s",
                      std::strerror(errno),
                      errno == EINVAL ? " (/ is not a mount point here, as in a plain chroot: "
                                        "run the tests where / is a mount point)"
                                      : "");
        return why;
    }
    return nullptr;
}

const char *dropToNobody() {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
        return "dropping to the unprivileged user 65534 was refused (setgroups, setgid, setuid)";
    return nullptr;
}

void inChildAfter(const char *(*step)(), const std::function<void()> &body) {
    inChild([&] {
        if (const char *refused = step()) {
            ADD_FAILURE() << refused;
            return;
        }
        body();
    });
}

void isolated(const std::function<void()> &body) { inChildAfter(enterIpcNamespace, body); }

pid_t spawnAsNobody(const std::function<void()> &body) {
    return spawn([&] {
        if (const char *refused = dropToNobody()) {
            ADD_FAILURE() << refused;
            return;
        }
        body();
    });
}

void asNobody(const std::function<void()> &body) { inChildAfter(dropToNobody, body); }

void IpcNamespaceEnvironment::SetUp() {
    if (const char *refused = enterIpcNamespace()) FAIL() << refused;
}

namespace {

// The directory of the copies, made when the test process starts: the
// copies are often first needed in a forked child, which ends with _exit
// and so could never remove a directory of its own.
struct CopiesDir {
    std::string path;
    pid_t owner = getpid();
    CopiesDir() {
        char tmpl[] = "/tmp/vorqUnprivilegedXXXXXX";
        if (mkdtemp(tmpl) != nullptr && chmod(tmpl, 0755) == 0) path = tmpl;
    }
    ~CopiesDir() {
        std::error_code ec;
        if (!path.empty() && getpid() == owner) fs::remove_all(path, ec);
    }
} copies;

// Copies file into the directory once; concurrent children each copy to a
// name of their own and rename, so none starts a half-written copy.
std::string copyOnce(const std::string &file) {
    const std::string copy = copies.path + "/" + fs::path(file).filename().string();
    std::error_code ec;
    if (fs::exists(copy, ec)) return copy;
    const std::string part = copy + "." + std::to_string(getpid());
    fs::copy_file(file, part, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(part, copy, ec);
    EXPECT_FALSE(ec) << "copying " << file << ": " << ec.message();
    return copy;
}

}  // namespace

std::string reachableCopy(const std::string &program) {
    if (copies.path.empty()) {
        ADD_FAILURE() << "no directory for the unprivileged user's copies could be made in /tmp";
        return program;
    }
    for (const char *lib : {VORQ_TRACE_LIB, VORQ_FILEACCESS_LIB}) copyOnce(lib);
    return copyOnce(program);
}

}  // namespace testsupport
