// File copy: the flag rules on missing and existing targets, block
// boundaries, a large random file checked with cmp, a file copied onto
// itself, failed opens and reads, and data that cannot reach a full device.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "test_support.h"

namespace {

using namespace xdfc_test;

struct Copied {
    SPRET rc;
    SPRET comprc;
    Texts traces;
};

Copied copyFile(const std::string &src, const std::string &dst, unsigned flags) {
    Copied c{-1, -1, {}};
    c.traces = traced([&] { c.rc = xdfc_file_copy(("!" + src).c_str(), ("!" + dst).c_str(), flags, &c.comprc); });
    return c;
}

// Expects a copy refused with the completion code and the trace point.
void expectFailure(const Copied &c, SPRET comprc, const std::string &trace) {
    EXPECT_EQ(c.rc, 2);
    EXPECT_EQ(c.comprc, comprc);
    EXPECT_TRUE(contains(c.traces, trace)) << trace;
}

// The trace point of an I/O error on one side of a copy.
std::string ioErrorTrace(const std::string &path, int err) {
    return "XDFCFC F: File copy for [" + path + "] I/O error detected, error code is " + std::to_string(err);
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen());
    return s;
}

TEST(Copy, FlagRules) {
    TempDir dir;
    const std::string src = dir.file("src", "source");

    Copied c = copyFile(src, dir.sub("new"), 0);  // a missing target is always created
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.comprc, 0);
    EXPECT_EQ(readFile(dir.sub("new")), "source");
    EXPECT_TRUE(contains(c.traces, "XDFCFC F: File copy src file [" + src + "]"));
    EXPECT_TRUE(contains(c.traces, "XDFCFC F: File copy tgt file [" + dir.sub("new") + "]"));
    EXPECT_TRUE(contains(c.traces, "XDFCFC F: File copy open flags = [w+]"));

    const std::string tgt = dir.file("tgt", "target");
    c = copyFile(src, tgt, XDFC_DE_CREAT);
    EXPECT_EQ(c.rc, 2);
    EXPECT_EQ(c.comprc, 22);
    EXPECT_EQ(readFile(tgt), "target");
    EXPECT_TRUE(withPrefix(c.traces, "XDFCFC F").empty());

    c = copyFile(src, tgt, XDFC_E_APPEND | XDFC_E_REPLACE);  // append wins
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(readFile(tgt), "targetsource");
    EXPECT_TRUE(contains(c.traces, "XDFCFC F: File copy open flags = [a+]"));

    c = copyFile(src, tgt, XDFC_E_OPEN);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(readFile(tgt), "source");
    c = copyFile(dir.file("longer", "0123456789"), tgt, XDFC_E_REPLACE);
    EXPECT_EQ(readFile(tgt), "0123456789");
    c = copyFile(src, tgt, XDFC_E_REPLACE);
    EXPECT_EQ(readFile(tgt), "source");  // replaced, not overwritten in place

    const std::string empty = dir.file("empty", "");
    EXPECT_EQ(copyFile(empty, tgt, XDFC_E_APPEND).rc, 0);
    EXPECT_EQ(readFile(tgt), "source");
    EXPECT_EQ(copyFile(empty, tgt, XDFC_E_REPLACE).rc, 0);
    EXPECT_EQ(readFile(tgt), "");
}

TEST(Copy, BlockBoundariesAndALargeFile) {
    TempDir dir;
    for (std::size_t n : {4095u, 4096u, 4097u, 8192u}) {
        const std::string data = randomBytes(n, static_cast<unsigned>(n));
        const std::string src = dir.file("s" + std::to_string(n), data);
        EXPECT_EQ(copyFile(src, dir.sub("t" + std::to_string(n)), 0).rc, 0);
        EXPECT_EQ(readFile(dir.sub("t" + std::to_string(n))), data) << n;
    }
    const std::string big = dir.file("big", randomBytes(5 * 1024 * 1024 + 123, 7));
    EXPECT_EQ(copyFile(big, dir.sub("bigcopy"), 0).rc, 0);
    EXPECT_EQ(std::system(("cmp -s '" + big + "' '" + dir.sub("bigcopy") + "'").c_str()), 0);
}

TEST(Copy, OntoItselfIsRefused) {
    TempDir dir;
    const std::string path = dir.file("self", "unchanged");
    ASSERT_EQ(link(path.c_str(), dir.sub("hardlink").c_str()), 0);
    for (unsigned flags : {XDFC_E_REPLACE, XDFC_E_APPEND}) {
        for (const std::string &target : {path, dir.sub("hardlink"), dir.path() + "/./self"}) {
            expectFailure(copyFile(path, target, flags), 22,
                          "XDFCFC F: File copy src and tgt are the same file [" + target + "]");
        }
    }
    EXPECT_EQ(readFile(path), "unchanged");
}

TEST(Copy, FailedOpensAndReads) {
    TempDir dir;
    expectFailure(copyFile(dir.sub("nosrc"), dir.sub("t"), 0), ENOENT, "XDFCFC F: File copy src file open error 2");
    EXPECT_FALSE(exists(dir.sub("t")));

    const std::string src = dir.file("src", "x");
    expectFailure(copyFile(src, dir.sub("nodir/t"), 0), ENOENT, "XDFCFC F: File copy tgt file open error 2");

    ASSERT_EQ(mkdir(dir.sub("adir").c_str(), 0700), 0);  // a directory opens, but cannot be read
    expectFailure(copyFile(dir.sub("adir"), dir.sub("t2"), 0), EISDIR, ioErrorTrace(dir.sub("adir"), 21));
}

TEST(Copy, DataThatCannotReachAFullDevice) {
    TempDir src, dst;
    const std::string big = src.file("big", randomBytes(200 * 1024, 3));
    const std::string small = src.file("small", "a short last block");
    inChild([&] {
        if (!mountTmpfs(dst.path(), "64k")) {
            std::printf("no tmpfs in a mount namespace here; case not run\n");
            return;
        }
        expectFailure(copyFile(big, dst.sub("t"), 0), ENOSPC, ioErrorTrace(dst.sub("t"), 28));  // a full block fails
        // The device is full now: the short block fails only when flushed.
        expectFailure(copyFile(small, dst.sub("t2"), 0), ENOSPC, ioErrorTrace(dst.sub("t2"), 28));
    });
}

TEST(Copy, LogicalNames) {
    TempDir cwd, data;
    cwd.file("kbvddfc.trm", "*.dat " + data.path() + "/\n");
    data.file("a.dat", "through the table");
    inChild([&] {
        ASSERT_EQ(chdir(cwd.path().c_str()), 0);
        SPRET comprc = -1;
        EXPECT_EQ(xdfc_file_copy("a.dat", "b.dat", 0, &comprc), 0);
        EXPECT_EQ(comprc, 0);
        EXPECT_EQ(readFile(data.sub("b.dat")), "through the table");
        EXPECT_EQ(xdfc_file_copy("a.dat", "b.txt", 0, &comprc), 2);  // no pattern for the target
        EXPECT_EQ(comprc, 2);
    });
}

}  // namespace
