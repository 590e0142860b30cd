// File and disk queries compared with stat and statfs of the same path;
// the kilobyte rule and the byte clamp on tmpfs mounts of known size and on
// the arithmetic itself.
#include <sys/stat.h>
#include <sys/vfs.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>

#include "test_support.h"

namespace {

using namespace xdfc_test;

TEST(FileQueries, SizeMatchesStat) {
    TempDir dir;
    for (std::size_t n : {0u, 1u, 4096u, 100000u}) {
        const std::string path = dir.file("f" + std::to_string(n), std::string(n, 's'));
        unsigned long size = 12345;
        SPRET comprc = -1;
        EXPECT_EQ(xdfc_query_file_size(("!" + path).c_str(), &size, &comprc), 0);
        EXPECT_EQ(comprc, 0);
        EXPECT_EQ(size, n);
    }
    unsigned long size = 12345;
    SPRET comprc = -1;
    const std::string missing = dir.sub("missing");
    const Texts t = traced([&] { EXPECT_EQ(xdfc_query_file_size(("!" + missing).c_str(), &size, &comprc), 2); });
    EXPECT_EQ(comprc, ENOENT);
    EXPECT_EQ(size, 12345u);
    EXPECT_EQ(t, (Texts{"XDFCQFST: -> xdfc_query_file_size", "XDFCI  F: Error on Open of [" + missing + "].(errno = 2)",
                        "XDFCQFST: <- xdfc_query_file_size"}));
}

TEST(FileQueries, DateIsTheStatusChangeInLocalTime) {
    setenv("TZ", "XST-5:30", 1);  // a zone of its own, half an hour off
    TempDir dir;
    const std::string path = dir.file("f", "x");
    const utimbuf old{946684800, 946684800};  // contents "modified" on 1 Jan 2000
    ASSERT_EQ(utime(path.c_str(), &old), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    struct tm tm;
    tzset();
    ASSERT_NE(localtime_r(&st.st_ctime, &tm), nullptr);

    xcsf_tod_info tod{};
    SPRET comprc = -1;
    EXPECT_EQ(xdfc_query_file_date(("!" + path).c_str(), &tod, &comprc), 0);
    EXPECT_EQ(comprc, 0);
    EXPECT_EQ(tod.year, tm.tm_year + 1900);
    EXPECT_NE(tod.year, 2000);
    EXPECT_EQ(tod.month, tm.tm_mon + 1);
    EXPECT_EQ(tod.day, tm.tm_mday);
    EXPECT_EQ(tod.hours, tm.tm_hour);
    EXPECT_EQ(tod.minutes, tm.tm_min);
    EXPECT_EQ(tod.seconds, tm.tm_sec);
    EXPECT_EQ(tod.hundredths, 0);
    unsetenv("TZ");

    const std::string missing = dir.sub("missing");
    const Texts t = traced([&] { EXPECT_EQ(xdfc_query_file_date(("!" + missing).c_str(), &tod, &comprc), 2); });
    EXPECT_EQ(comprc, ENOENT);
    EXPECT_TRUE(contains(t, "XDFCI  F: Error on Open of [" + missing + "].(errno = 2)"));
}

TEST(DiskQueries, KilobyteRuleAndClamp) {
    EXPECT_EQ(freeKilobytes(4096, 10), 40u);
    EXPECT_EQ(freeKilobytes(512, 3), 1u);  // 1536 / 1024, remainder dropped
    EXPECT_EQ(freeKilobytes(1536, 2), 2u);  // divided first: 1536 / 1024 = 1, times 2
    EXPECT_EQ(freeKilobytes(512, 1ULL << 34), 1ULL << 33);  // no wrap in 64 bits
    EXPECT_EQ(clampedBytes(1), 1024u);
    EXPECT_EQ(clampedBytes(2097151), 2147482624u);
    EXPECT_EQ(clampedBytes(2097152), 2147483647u);
    EXPECT_EQ(clampedBytes(1ULL << 40), 2147483647u);
}

TEST(DiskQueries, MatchStatfsOfTheSamePath) {
    TempDir dir;
    struct statfs fs;
    ASSERT_EQ(statfs(dir.path().c_str(), &fs), 0);
    unsigned long kb = 0;
    SPRET comprc = -1;
    Texts t = traced([&] { EXPECT_EQ(xdfc_disk_space2(dir.path().c_str(), &kb, &comprc), 0); });
    EXPECT_EQ(comprc, 0);
    // Other processes use the disk too: allow a little drift.
    const double expected = static_cast<double>(fs.f_bfree) * static_cast<double>(fs.f_bsize) / 1024;
    EXPECT_NEAR(static_cast<double>(kb), expected, 64 * 1024);
    EXPECT_TRUE(contains(t, "XDFC___D: bytes/sector - " + std::to_string(fs.f_bsize)));

    unsigned long bytes = 7;
    t = traced([&] { EXPECT_EQ(xdfc_disk_space("/nonexistent/dir", &bytes, &comprc), 2); });
    EXPECT_EQ(comprc, ENOENT);
    EXPECT_EQ(bytes, 7u);
    EXPECT_EQ(
        t, (Texts{"XDFCQDST: -> xdfc_disk_space", "XDFCQDSF: drive=/nonexistent/dir, Byte free space=7, src=2, crc=2",
                  "XDFCQDST: <- xdfc_disk_space"}));
}

TEST(DiskQueries, TmpfsOfKnownSize) {
    TempDir small, large;
    inChild([&] {
        if (!mountTmpfs(small.path(), "40960") || !mountTmpfs(large.path(), "4g")) {
            std::printf("no tmpfs in a mount namespace here; case not run\n");
            return;
        }
        unsigned long v = 0;
        SPRET comprc = -1;
        Texts t = traced([&] { EXPECT_EQ(xdfc_disk_space(small.path().c_str(), &v, &comprc), 0); });
        EXPECT_EQ(v, 40960u);
        EXPECT_TRUE(contains(t, "XDFC___D: units avail  - 10"));
        EXPECT_TRUE(contains(t, "XDFCQDSF: drive=" + small.path() + ", Byte free space=40960, src=0, crc=0"));
        t = traced([&] { EXPECT_EQ(xdfc_disk_space2(small.path().c_str(), &v, &comprc), 0); });
        EXPECT_EQ(v, 40u);
        EXPECT_TRUE(contains(t, "XDFC___D: KilloBytes(Avail) - 40(x28)"));

        EXPECT_EQ(xdfc_disk_space(large.path().c_str(), &v, &comprc), 0);
        EXPECT_EQ(v, 2147483647u);
        EXPECT_EQ(xdfc_disk_space2(large.path().c_str(), &v, &comprc), 0);
        EXPECT_EQ(v, 4194304u);
    });
}

TEST(FileQueries, LogicalNameThatCannotBeResolved) {
    TempDir cwd;
    inChild([&] {
        ASSERT_EQ(chdir(cwd.path().c_str()), 0);
        setenv("CONSOLE_PATH", (cwd.path() + "/").c_str(), 1);
        unsigned long size = 5;
        xcsf_tod_info tod{};
        SPRET comprc = -1;
        EXPECT_EQ(xdfc_query_file_size("a.dat", &size, &comprc), 2);
        EXPECT_EQ(comprc, 2);
        EXPECT_EQ(xdfc_query_file_date("a.dat", &tod, &comprc), 2);
        EXPECT_EQ(comprc, 2);
    });
}

}  // namespace
