// Sequential and positioned I/O: short reads at the end of the file, read
// and write errors, the reference points, positioning failures and a full
// device (a small tmpfs in a mount namespace of a child).
#include <unistd.h>

#include <cstring>

#include "test_support.h"

namespace {

using namespace xdfc_test;

FILE *openPath(const std::string &path, const char *mode) { return std::fopen(path.c_str(), mode); }

TEST(SequentialIo, ShortReadAtTheEndOfTheFile) {
    TempDir dir;
    const std::string path = dir.file("f", std::string(8, 'h') + "0123456789abcdefghijkl");  // 22 after 8
    FILE *fp = openPath(path, "r");
    ASSERT_NE(fp, nullptr);
    std::fseek(fp, 8, SEEK_SET);
    char buf[40] = {};
    int items = -1;
    SPRET comprc = 0;
    const Texts t = traced([&] { EXPECT_EQ(xdfc_read(buf, 4, 10, fp, &items, &comprc), 2); });
    EXPECT_EQ(items, 5);
    EXPECT_EQ(comprc, XDFC_CRC_END_OF_FILE);
    EXPECT_EQ(std::string(buf, 22), "0123456789abcdefghijkl");
    EXPECT_EQ(t, (Texts{"XDFCRR T: -> xdfc_read", "XDFCRR T: <- xdfc_read"}));

    std::rewind(fp);
    comprc = 77;
    EXPECT_EQ(xdfc_read(buf, 2, 3, fp, &items, &comprc), 0);
    EXPECT_EQ(items, 3);
    EXPECT_EQ(comprc, 77);  // untouched on success
    std::fclose(fp);
}

TEST(SequentialIo, ReadAndWriteErrors) {
    TempDir dir;
    FILE *fp = openPath(dir.path(), "r");  // a directory: reads fail
    ASSERT_NE(fp, nullptr);
    char buf[8];
    int items = -1;
    SPRET comprc = 0;
    Texts t = traced([&] { EXPECT_EQ(xdfc_read(buf, 1, 8, fp, &items, &comprc), 2); });
    EXPECT_EQ(comprc, EISDIR);
    EXPECT_TRUE(contains(t, "XDFCRR F: fread error rc=21"));
    std::fclose(fp);

    fp = openPath(dir.file("ro", "x"), "r");  // read-only: writes fail
    std::vector<char> big(65536, 'w');
    t = traced([&] { EXPECT_EQ(xdfc_write(big.data(), 1, big.size(), fp, &items, &comprc), 2); });
    EXPECT_EQ(comprc, EBADF);
    EXPECT_EQ(t, (Texts{"XDFCRW T: -> xdfc_write", "XDFCRR F: fwrite error rc=9", "XDFCRW T: <- xdfc_write"}));

    unsigned long written = 99, np = 5;
    t = traced([&] {
        EXPECT_EQ(
            xdfc_random_write(fp, reinterpret_cast<unsigned char *>(big.data()), 65536, 0, 0, &written, &np, &comprc),
            2);
    });
    EXPECT_EQ(comprc, EBADF);
    EXPECT_TRUE(contains(t, "XDFCRR F: fwrite error rc=9"));
    std::fclose(fp);
}

TEST(PositionedIo, ReadsFromTheReferencePoints) {
    TempDir dir;
    FILE *fp = openPath(dir.file("f", "0123456789"), "r");
    unsigned char buf[16] = {};
    unsigned long got = 0, np = 0;
    SPRET comprc = -1;

    EXPECT_EQ(xdfc_random_read(fp, buf, 3, 0, 2, &got, &np, &comprc), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), got), "234");
    EXPECT_EQ(np, 5u);
    EXPECT_EQ(comprc, 0);

    EXPECT_EQ(xdfc_random_read(fp, buf, 2, 1, 1, &got, &np, &comprc), 0);  // from the current position
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), got), "67");
    EXPECT_EQ(np, 8u);

    EXPECT_EQ(xdfc_random_read(fp, buf, 8, 2, static_cast<unsigned long>(-4L), &got, &np, &comprc), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), got), "6789");  // a short read is a success
    EXPECT_EQ(np, 10u);

    Texts t = traced([&] { EXPECT_EQ(xdfc_random_read(fp, buf, 3, 7, 4, &got, &np, &comprc), 0); });
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), got), "456");
    EXPECT_EQ(np, 7u);
    EXPECT_TRUE(contains(t, "XDFCRR F: invalid Reference Point of 7, using beginning of file"));

    comprc = -1;
    t = traced([&] { EXPECT_EQ(xdfc_random_read(fp, buf, 3, 0, 50, &got, &np, &comprc), 0); });
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(np, 50u);
    EXPECT_EQ(comprc, 0);
    EXPECT_EQ(
        t, (Texts{"XDFCRR T: -> xdfc_random_read", "XDFCRR F: End of file reached", "XDFCRR T: <- xdfc_random_read"}));
    std::fclose(fp);
}

TEST(PositionedIo, WritesAndAppends) {
    TempDir dir;
    const std::string path = dir.file("f", "0123456789");
    FILE *fp = openPath(path, "r+");
    unsigned long put = 0, np = 0;
    SPRET comprc = -1;
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(xdfc_random_write(fp, abc, 3, 2, 0, &put, &np, &comprc), 0);
    EXPECT_EQ(put, 3u);
    EXPECT_EQ(np, 13u);
    EXPECT_EQ(comprc, 0);
    const Texts t = traced([&] { EXPECT_EQ(xdfc_random_write(fp, abc, 2, 9, 1, &put, &np, &comprc), 0); });
    EXPECT_EQ(np, 3u);
    EXPECT_TRUE(contains(t, "XDFCRR F: invalid Reference Point of 9, using beginning of file"));
    std::fclose(fp);
    EXPECT_EQ(readFile(path), "0ab3456789abc");
}

TEST(PositionedIo, PositioningFailureLeavesTheOutValues) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *fp = fdopen(fds[0], "r");
    unsigned char buf[4];
    unsigned long got = 11, np = 12;
    SPRET comprc = -1;
    char fh[16];
    std::snprintf(fh, sizeof fh, "%X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(fp)));
    Texts t = traced([&] { EXPECT_EQ(xdfc_random_read(fp, buf, 4, 1, 3, &got, &np, &comprc), 2); });
    EXPECT_EQ(comprc, ESPIPE);
    EXPECT_EQ(got, 11u);
    EXPECT_EQ(np, 12u);
    EXPECT_EQ(t,
              (Texts{"XDFCRR T: -> xdfc_random_read", "XDFCRR F: SetFilePtr error, errno is 29",
                     "XDFCRR F: fh=" + std::string(fh) + ", rp=1, offset=3, np=12", "XDFCRR T: <- xdfc_random_read"}));
    t = traced([&] { EXPECT_EQ(xdfc_random_write(fp, buf, 4, 0, 3, &got, &np, &comprc), 2); });
    EXPECT_EQ(comprc, ESPIPE);
    EXPECT_TRUE(contains(t, "XDFCRW F: SetFilePtr error, errno is 29"));
    EXPECT_TRUE(contains(t, "XDFCRW F: fh=" + std::string(fh) + ", rp=0, offset=3, np=12"));
    std::fclose(fp);
    close(fds[1]);

    TempDir dir;
    fp = openPath(dir.file("f", "x"), "r");
    EXPECT_EQ(xdfc_random_read(fp, buf, 1, 0, static_cast<unsigned long>(-1L), &got, &np, &comprc), 2);
    EXPECT_EQ(comprc, EINVAL);  // before the start of the file
    std::fclose(fp);
}

TEST(FullDevice, WritesGiveDiskFull) {
    TempDir dir;
    inChild([&] {
        if (!mountTmpfs(dir.path(), "64k")) {
            std::printf("no tmpfs in a mount namespace here; case not run\n");
            return;
        }
        FILE *fp = openPath(dir.path() + "/full", "w");
        ASSERT_NE(fp, nullptr);
        std::vector<unsigned char> big(256 * 1024, 'f');
        int items = -1;
        SPRET comprc = 0;
        Texts t = traced([&] { EXPECT_EQ(xdfc_write(big.data(), 1, big.size(), fp, &items, &comprc), 2); });
        EXPECT_EQ(comprc, XDFC_CRC_DISK_FULL);
        EXPECT_LT(items, static_cast<int>(big.size()));
        EXPECT_TRUE(withPrefix(t, "XDFCRR F").empty());
        unsigned long put = 0, np = 0;
        t = traced([&] {
            EXPECT_EQ(xdfc_random_write(fp, big.data(), static_cast<unsigned>(big.size()), 2, 0, &put, &np, &comprc),
                      2);
        });
        EXPECT_EQ(comprc, XDFC_CRC_DISK_FULL);
        EXPECT_TRUE(withPrefix(t, "XDFCRR F").empty());
        std::fclose(fp);
    });
}

}  // namespace
