// Directory listings: the listing file byte for byte against stat of each
// entry (with the time zone fixed, and moved to reach chosen hours), the
// count line, no match, dot entries, cut names, the record builders, the
// memory listing's buffer limit and the directory part of search names.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "test_support.h"

namespace {

using namespace xdfc_test;

// The record of one entry, formed from its status independently of the
// library's builders.
std::string expectedRecord(const std::string &dir, const std::string &name) {
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) != 0) return std::string(78, ' ');
    struct tm tm;
    tzset();
    localtime_r(&st.st_ctime, &tm);
    const int hour12 = tm.tm_hour > 12 ? tm.tm_hour - 12 : tm.tm_hour;
    char rec[256];
    std::snprintf(rec, sizeof rec, "%-49.49s%10lld  %02d-%02d-%02d  %2d:%02d%c\n", name.c_str(),
                  static_cast<long long>(st.st_size), tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100, hour12, tm.tm_min,
                  tm.tm_hour >= 12 ? 'p' : 'a');
    return std::string(rec, 78);
}

SPRET listTo(const std::string &search, const std::string &out, SPRET *comprc, Texts *texts = nullptr) {
    SPRET rc = -1;
    const Texts t = traced([&] { rc = xdfc_list_file(search.c_str(), ("!" + out).c_str(), comprc); });
    if (texts != nullptr) *texts = t;
    return rc;
}

// The records of a listing file, sorted (the directory's order is its own).
std::vector<std::string> recordsOf(const std::string &listing) {
    std::vector<std::string> r;
    for (std::size_t i = 8; i + 78 <= listing.size(); i += 78) r.push_back(listing.substr(i, 78));
    std::sort(r.begin(), r.end());
    return r;
}

TEST(ListFile, RecordsByteForByte) {
    setenv("TZ", "UTC0", 1);
    TempDir dir, out;
    dir.file("report.txt", std::string(1234, 'r'));
    dir.file("empty.txt", "");
    dir.file("other.dat", "x");
    SPRET comprc = -1;
    Texts t;
    const std::string listing = out.sub("listing");
    ASSERT_EQ(listTo(dir.path() + "/*.txt", listing, &comprc, &t), 0);
    EXPECT_EQ(comprc, 0);
    const std::string content = readFile(listing);
    ASSERT_EQ(content.size(), 164u);
    EXPECT_EQ(content.substr(0, 8), "2      \n");
    std::vector<std::string> expected{expectedRecord(dir.path(), "report.txt"),
                                      expectedRecord(dir.path(), "empty.txt")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(recordsOf(content), expected);
    EXPECT_EQ(t.front(), "XDFCLF T: -> xdfc_list_file");
    EXPECT_TRUE(contains(t, "XDFCLF F:   Listing files matching [" + dir.path() + "/*.txt]"));
    EXPECT_TRUE(contains(t, "XDFCLF F: search name=[" + dir.path() + "/*.txt], sysrc=0, comprc=0"));
    EXPECT_EQ(t.back(), "XDFCLF T: <- xdfc_list_file");
    unsetenv("TZ");
}

TEST(ListFile, NoMatchLeavesNoListing) {
    TempDir dir, out;
    dir.file("a.dat", "x");
    SPRET comprc = 77;
    EXPECT_EQ(listTo(dir.path() + "/*.txt", out.sub("listing"), &comprc), 2);
    EXPECT_EQ(comprc, 77);
    EXPECT_FALSE(exists(out.sub("listing")));
    const std::string old = out.file("old", "previous listing");
    EXPECT_EQ(listTo(dir.path() + "/*.txt", old, &comprc), 2);
    EXPECT_EQ(readFile(old), "previous listing");

    Texts t;
    EXPECT_EQ(listTo(dir.path() + "/missing/*", old, &comprc, &t), 2);
    EXPECT_EQ(comprc, ENOENT);
    EXPECT_TRUE(contains(t, "XDFCLF F: opendir failed with errno of 2"));
}

TEST(ListFile, StarListsDotEntriesAndCutsLongNames) {
    TempDir dir, out;
    const std::string longName(60, 'n');
    dir.file(".hidden", "h");
    dir.file(longName, "l");
    ASSERT_EQ(symlink("/nonexistent/target", dir.sub("dangling").c_str()), 0);
    SPRET comprc = -1;
    Texts t;
    ASSERT_EQ(listTo(dir.path() + "/*", out.sub("listing"), &comprc, &t), 0);
    const std::string content = readFile(out.sub("listing"));
    EXPECT_EQ(content.substr(0, 8), "5      \n");
    std::set<std::string> names;
    for (const std::string &r : recordsOf(content)) names.insert(r.substr(0, r.find(' ')));
    EXPECT_EQ(names, (std::set<std::string>{"", ".", "..", ".hidden", std::string(49, 'n')}));
    // The entry that cannot be opened is 78 spaces, and still counted.
    EXPECT_EQ(recordsOf(content).front(), std::string(78, ' '));
    EXPECT_TRUE(contains(t, "XDFCLFMF: open error in list_file for [dangling],errno is 2"));
}

// A time zone in which the time t shows the local hour and minute wanted.
std::string zoneShowing(time_t t, int hour, int minute) {
    const long sod = static_cast<long>(t % 86400);
    long east = hour * 3600L + minute * 60L + sod % 60 - sod;  // seconds east of UTC
    if (east >= 86400 - 3600) east -= 86400;
    if (east <= -86400 + 3600) east += 86400;
    const long west = -east;
    const long a = west < 0 ? -west : west;
    char tz[40];
    std::snprintf(tz, sizeof tz, "ZZZ%c%ld:%02ld:%02ld", west < 0 ? '-' : '+', a / 3600, a / 60 % 60, a % 60);
    return tz;
}

TEST(ListFile, TwelveHourClock) {
    TempDir dir, out;
    dir.file("f", "x");
    struct stat st;
    ASSERT_EQ(stat(dir.sub("f").c_str(), &st), 0);
    const struct {
        int hour, minute;
        const char *shown;
    } cases[] = {{12, 59, "12:59p"}, {0, 5, " 0:05a"}, {13, 0, " 1:00p"}, {11, 30, "11:30a"}, {23, 1, "11:01p"}};
    for (const auto &c : cases) {
        setenv("TZ", zoneShowing(st.st_ctime, c.hour, c.minute).c_str(), 1);
        SPRET comprc = -1;
        ASSERT_EQ(listTo(dir.path() + "/f", out.sub("l"), &comprc), 0);
        const std::string rec = readFile(out.sub("l")).substr(8);
        EXPECT_EQ(rec.substr(71, 6), c.shown) << getenv("TZ");
        EXPECT_EQ(rec, expectedRecord(dir.path(), "f"));
    }
    unsetenv("TZ");
}

TEST(ListFile, RecordBuilders) {
    char field[4];
    std::memcpy(field, "0000", 4);
    putldn(field, 7, 4);
    EXPECT_EQ(std::string(field, 4), "0007");
    std::memcpy(field, "    ", 4);
    putldn(field, 123, 4);
    EXPECT_EQ(std::string(field, 4), " 123");
    putldn(field, 100, 2);  // the year 2000: only the last digits remain
    EXPECT_EQ(std::string(field, 2), "00");
    putldn(field, 0, 3);
    EXPECT_EQ(std::string(field, 4), "0003");

    for (auto [in, out, marker] : {std::tuple{0u, 0u, 'a'}, {11u, 11u, 'a'}, {12u, 12u, 'p'}, {23u, 11u, 'p'}}) {
        unsigned hour = in;
        char ampm[2] = {'x', 'x'};
        xdfc_convert_hour(&hour, ampm);
        EXPECT_EQ(hour, out);
        EXPECT_EQ(ampm[0], marker);
        EXPECT_EQ(ampm[1], '\0');
    }

    // The largest 32-bit size fills the ten digit positions (sparse file).
    TempDir dir;
    const std::string path = dir.file("huge", "");
    ASSERT_EQ(truncate(path.c_str(), 2147483647), 0);
    xdfc_list_file_templ rec;
    std::memset(&rec, ' ', sizeof rec);
    dirent ent{};
    std::strcpy(ent.d_name, "huge");
    xdfc_fill_data_struct(&rec, &ent, dir.path().c_str());
    EXPECT_EQ(std::string(rec.num_of_bytes, 11), "2147483647 ");
}

TEST(ListFile, CountLine) {
    TempDir dir;
    for (auto [count, line] : {std::pair{1, "1      \n"}, {1234567, "1234567\n"}, {12345678, "2345678\n"}}) {
        FILE *fp = std::fopen(dir.sub("c").c_str(), "w+");
        SPRET comprc = 0;
        EXPECT_EQ(xdfc_update_nof_line(fp, count, &comprc), 0);
        std::fclose(fp);
        EXPECT_EQ(readFile(dir.sub("c")), line);
    }
}

TEST(ListFile, UnwrittenListingIsReported) {
    TempDir dir, dst;
    for (int i = 0; i < 3; i++) dir.file("f" + std::to_string(i), "x");
    inChild([&] {
        if (!mountTmpfs(dst.path(), "4096")) {
            std::printf("no tmpfs in a mount namespace here; case not run\n");
            return;
        }
        FILE *fill = std::fopen(dst.sub("fill").c_str(), "w");
        const std::string page(4096, 'f');
        std::fwrite(page.data(), 1, page.size(), fill);
        std::fclose(fill);
        SPRET comprc = -1;
        Texts t;
        EXPECT_EQ(listTo(dir.path() + "/f*", dst.sub("listing"), &comprc, &t), 2);
        EXPECT_EQ(comprc, XDFC_CRC_DISK_FULL);
        EXPECT_TRUE(contains(t, "XDFCLF F: rewrite of the count line failed with errno of 28"));
    });
}

TEST(ListFile, LogicalListingName) {
    TempDir cwd, data, dir;
    cwd.file("kbvddfc.trm", "*.lst " + data.path() + "/\n");
    dir.file("a", "x");
    inChild([&] {
        ASSERT_EQ(chdir(cwd.path().c_str()), 0);
        SPRET comprc = -1;
        EXPECT_EQ(xdfc_list_file((dir.path() + "/a").c_str(), "out.lst", &comprc), 0);
        EXPECT_EQ(readFile(data.sub("out.lst")).substr(0, 8), "1      \n");
        // A listing name that cannot be resolved: the open's result.
        EXPECT_EQ(xdfc_list_file((dir.path() + "/a").c_str(), "out.txt", &comprc), 2);
        EXPECT_EQ(comprc, 2);
    });
}

std::vector<std::string> namesIn(const char *buf, unsigned n) {
    std::vector<std::string> v;
    for (unsigned i = 0; i < n; i++) {
        v.emplace_back(buf);
        buf += v.back().size() + 1;
    }
    std::sort(v.begin(), v.end());
    return v;
}

TEST(ListFileMem, NamesAndTheBufferLimit) {
    TempDir dir;
    dir.file("abcde", "x");
    dir.file("other", "x");
    char buf[64];
    unsigned n = 99;
    SPRET comprc = 77;
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(xdfc_list_file_mem((dir.path() + "/a*").c_str(), buf, 6, &n, &comprc), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(std::string(buf, 7), std::string("abcde\0z", 7));
    EXPECT_EQ(comprc, 77);  // left as the caller set it

    EXPECT_EQ(xdfc_list_file_mem((dir.path() + "/a*").c_str(), buf, 5, &n, &comprc), 2);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(comprc, XDFC_CRC_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[0], '\0');

    comprc = 77;
    EXPECT_EQ(xdfc_list_file_mem((dir.path() + "/*").c_str(), buf, sizeof buf, &n, &comprc), 0);
    EXPECT_EQ(namesIn(buf, n), (std::vector<std::string>{".", "..", "abcde", "other"}));

    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(xdfc_list_file_mem((dir.path() + "/none*").c_str(), buf, sizeof buf, &n, &comprc), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buf[0], '\0');

    Texts t = traced(
        [&] { EXPECT_EQ(xdfc_list_file_mem((dir.path() + "/missing/*").c_str(), buf, sizeof buf, &n, &comprc), 2); });
    EXPECT_EQ(comprc, ENOENT);
    EXPECT_TRUE(contains(t, "XDFCLFMF: List_file_mem error in opendir of  2"));
}

TEST(SearchNames, DirectoryParts) {
    // Only a leading "/": the root directory.
    std::set<std::string> root;
    DIR *d = opendir("/");
    while (const dirent *e = readdir(d)) root.insert(e->d_name);
    closedir(d);
    std::vector<char> buf(1 << 16);
    unsigned n = 0;
    SPRET comprc = 0;
    ASSERT_EQ(xdfc_list_file_mem("/*", buf.data(), static_cast<unsigned>(buf.size()), &n, &comprc), 0);
    const std::vector<std::string> got = namesIn(buf.data(), n);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), root);

    TempDir dir, out;
    dir.file("here.txt", "x");
    inChild([&] {  // no "/" at all: the current directory
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        unsigned count = 0;
        SPRET crc = 0;
        char b[64];
        ASSERT_EQ(xdfc_list_file_mem("*.txt", b, sizeof b, &count, &crc), 0);
        EXPECT_EQ(namesIn(b, count), std::vector<std::string>{"here.txt"});
        ASSERT_EQ(listTo("*.txt", out.sub("l"), &crc), 0);
        EXPECT_EQ(readFile(out.sub("l")).substr(8, 9), "here.txt ");
    });

    const std::string longDir = "/" + std::string(511, 'd') + "/*";
    const std::string longPattern = dir.path() + "/" + std::string(255, 'p');
    for (const std::string &search : {longDir, longPattern}) {
        SPRET crc = 0;
        Texts t;
        EXPECT_EQ(listTo(search, out.sub("l2"), &crc, &t), 2);
        EXPECT_EQ(crc, ENAMETOOLONG);
        if (search.size() < 400) {  // a longer one makes a trace text over the facility's limit
            EXPECT_TRUE(contains(t, "XDFCLF F: search name [" + search + "] is longer than its buffers"));
        }
        EXPECT_EQ(xdfc_list_file_mem(search.c_str(), buf.data(), 64, &n, &crc), 2);
        EXPECT_EQ(crc, ENAMETOOLONG);
    }
    EXPECT_EQ(listTo("/" + std::string(510, 'd') + "/*", out.sub("l2"), &comprc), 2);
    EXPECT_EQ(comprc, ENAMETOOLONG);  // fits the buffer; the system refuses the long component
}

}  // namespace
