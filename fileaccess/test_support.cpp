#include "test_support.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ipc_testing.h"

namespace xdfc_test {

TempDir::TempDir() {
    char pattern[] = "/tmp/fileaccess_test.XXXXXX";
    const char *made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
}

TempDir::~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }

std::string TempDir::file(const std::string &name, const std::string &content) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

std::string TempDir::dir(const std::string &name, mode_t mode, uid_t owner) const {
    const std::string p = sub(name);
    const bool made = chmod(path_.c_str(), 0755) == 0 && mkdir(p.c_str(), 0700) == 0 &&
                      chown(p.c_str(), owner, owner) == 0 && chmod(p.c_str(), mode) == 0;
    EXPECT_TRUE(made) << p;
    return p;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void inChild(const std::function<void()> &body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(100);
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

void asNobody(const std::function<void()> &body) {
    inChild([&] {
        const bool dropped = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
        ASSERT_TRUE(dropped) << "cannot become uid " << kNobody;
        body();
    });
}

bool mountTmpfs(const std::string &dir, const std::string &size) {
    if (const char *refused = xtr::testing::enterPrivateMountNamespace()) {
        std::printf("%s\n", refused);
        return false;
    }
    const std::string options = "size=" + size;
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        std::printf("mounting a tmpfs on %s was refused: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

Texts traced(const std::function<void()> &fn) {
    xtr::testing::clearPrivateRing();
    fn();
    return xtr::testing::privateRingTexts();
}

bool contains(const Texts &texts, const std::string &text) {
    for (const auto &t : texts)
        if (t == text) return true;
    return false;
}

Texts withPrefix(const Texts &texts, const std::string &prefix) {
    Texts out;
    for (const auto &t : texts)
        if (t.rfind(prefix, 0) == 0) out.push_back(t);
    return out;
}

}  // namespace xdfc_test
