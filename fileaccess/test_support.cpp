#include "test_support.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace xdfc_test {

bool mountTmpfs(const std::string &dir, const std::string &size) {
    if (const char *refused = testsupport::enterPrivateMountNamespace()) {
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
