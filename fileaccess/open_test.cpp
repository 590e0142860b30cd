// Opening, closing and deleting: the open-flag table on existing and
// missing files, the action, close-on-exec, the busy retry and the ".log"
// rule (through the open seam), and names resolved through a control file.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "test_support.h"

namespace {

using namespace xdfc_test;

struct Opened {
    SPRET rc;
    SPRET comprc;
    FILE *fp;
    unsigned action;
    Texts traces;
};

Opened openFlags(const std::string &path, unsigned attr, unsigned flags) {
    Opened o{-1, -1, nullptr, 0, {}};
    o.traces = traced(
        [&] { o.rc = xdfc_search_file_open(("!" + path).c_str(), 0, attr, flags, 0, &o.fp, &o.action, &o.comprc); });
    return o;
}

// Opens through the stream call and keeps what it reported.  The stream
// starts as a value no call gives, so a failure must write its null.
Opened openStream(const std::string &name, const char *mode) {
    Opened o{-1, -1, reinterpret_cast<FILE *>(1), 0, {}};
    o.traces = traced([&] { o.rc = xdfc_search_file_open2(name.c_str(), mode, &o.fp, &o.comprc); });
    return o;
}

// What a stream allows: reading the old contents, writing.
bool canRead(FILE *fp) {
    char c;
    return std::fread(&c, 1, 1, fp) == 1;
}
bool canWrite(FILE *fp) {
    std::fseek(fp, 0, SEEK_END);
    return std::fputc('z', fp) != EOF && std::fflush(fp) == 0;
}

TEST(OpenFlags, ExistingFile) {
    struct Case {
        unsigned flags;
        unsigned attr;
        const char *mode;
    };
    const Case cases[] = {
        {XDFC_E_OPEN, 1, "r"},
        {XDFC_E_REPLACE, 1, "r"},
        {XDFC_E_REPLACE, 0, "r+"},
        {XDFC_E_OPEN | XDFC_E_REPLACE, 0, "r+"},
        {XDFC_E_OPEN | XDFC_DE_CREAT, 0, "r+"},
        {XDFC_E_REPLACE | XDFC_DE_CREAT, 0, "w+"},
        {XDFC_E_REPLACE | XDFC_DE_CREAT, 7, "w"},
        {XDFC_E_OPEN | XDFC_E_REPLACE | XDFC_DE_CREAT, 0, "r+"},
        {XDFC_E_OPEN | 0xFF00, 1, "r"},  // other bits are ignored
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode + std::string(" flags ") + std::to_string(c.flags));
        const std::string path = dir.file("f", "hello");
        Opened o = openFlags(path, c.attr, c.flags);
        ASSERT_EQ(o.rc, 0);
        ASSERT_NE(o.fp, nullptr);
        EXPECT_EQ(o.comprc, 0);
        EXPECT_EQ(o.action, 1u);
        EXPECT_TRUE(contains(o.traces, "XDFCSFOF: open flags [" + std::string(c.mode) + "] for file [" + path + "]"));
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", c.flags);
        EXPECT_TRUE(contains(o.traces, "XDFCSFOF: uOpenFlag=0X" + std::string(hex) + " exists=1"));
        const bool emptied = c.mode[0] == 'w';
        EXPECT_EQ(readFile(path), emptied ? "" : "hello");
        EXPECT_EQ(canRead(o.fp), !emptied);
        EXPECT_EQ(canWrite(o.fp), emptied || std::strchr(c.mode, '+') != nullptr);
        SPRET comprc = -1;
        EXPECT_EQ(xdfc_close_file(o.fp, &comprc), 0);
        EXPECT_EQ(comprc, 0);
    }
}

TEST(OpenFlags, MissingFileIsCreatedWithCreat) {
    TempDir dir;
    for (unsigned flags : {XDFC_DE_CREAT, XDFC_DE_CREAT | XDFC_E_OPEN, XDFC_DE_CREAT | XDFC_E_REPLACE}) {
        const std::string path = dir.sub("new" + std::to_string(flags));
        Opened o = openFlags(path, 0, flags);
        ASSERT_EQ(o.rc, 0);
        EXPECT_EQ(o.action, 2u);
        EXPECT_TRUE(contains(o.traces, "XDFCSFOF: open flags [w+] for file [" + path + "]"));
        EXPECT_TRUE(exists(path));
        EXPECT_TRUE(canWrite(o.fp));
        std::fclose(o.fp);
    }
}

TEST(OpenFlags, RefusedWithoutTheMatchingFlag) {
    TempDir dir;
    Opened o = openFlags(dir.sub("missing"), 0, 0);
    EXPECT_EQ(o.rc, 2);
    EXPECT_EQ(o.comprc, 2);
    EXPECT_EQ(o.fp, nullptr);
    EXPECT_EQ(o.action, 0u);
    EXPECT_FALSE(exists(dir.sub("missing")));
    EXPECT_EQ(o.traces, (Texts{"XDFCSFOT: -> xdfc_search_file_open",
                               "XDFCSFOF: uOpenFlag=0X0 file did not exist and did not specify XDFC_DE_CREAT",
                               "XDFCSFOT: <- xdfc_search_file_open"}));
    o = openFlags(dir.sub("missing"), 0, XDFC_E_OPEN | XDFC_E_REPLACE);
    EXPECT_EQ(o.comprc, 2);

    const std::string path = dir.file("there", "keep");
    o = openFlags(path, 0, XDFC_DE_CREAT);
    EXPECT_EQ(o.rc, 2);
    EXPECT_EQ(o.comprc, 22);
    EXPECT_TRUE(
        contains(o.traces, "XDFCSFOF: uOpenFlag=0X10 file exists but did not specify XDFC_E_OPEN or XDFC_E_REPLACE"));
    EXPECT_EQ(readFile(path), "keep");
}

TEST(OpenStream, CloseOnExecAndTrace) {
    TempDir dir;
    const std::string path = dir.file("f", "x");
    const Opened o = openStream("!" + path, "r");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.comprc, 0);
    EXPECT_NE(fcntl(fileno(o.fp), F_GETFD) & FD_CLOEXEC, 0);
    char ptr[32];
    std::snprintf(ptr, sizeof ptr, "%016lX", reinterpret_cast<unsigned long>(o.fp));
    ASSERT_EQ(o.traces.size(), 3u);
    EXPECT_EQ(o.traces[1].substr(0, o.traces[1].rfind(", errno=")),
              "XDFCSFOF: Opening file [" + path + "], rc=0, file ptr=" + std::string(ptr));
    std::fclose(o.fp);

    // A missing file: one attempt, no hard-error report.
    const Opened missing = openStream("!" + dir.sub("none"), "r");
    EXPECT_EQ(missing.rc, 2);
    EXPECT_EQ(missing.comprc, 2);
    EXPECT_EQ(missing.fp, nullptr);
    EXPECT_TRUE(withPrefix(missing.traces, "XDFCHE").empty());
}

// The open seam: fails with the listed errno values in turn, then opens.
struct FakeOpen {
    static inline std::vector<int> failures;
    static inline int calls = 0;
    static inline int pauses = 0;
    static FILE *open(const char *path, const char *mode) {
        const int n = calls++;
        if (n < static_cast<int>(failures.size())) {
            errno = failures[static_cast<std::size_t>(n)];
            return nullptr;
        }
        return std::fopen(path, mode);
    }
    static int pause(useconds_t) {
        pauses++;
        return 0;
    }
    FakeOpen(std::vector<int> f) {
        failures = std::move(f);
        calls = pauses = 0;
        xdfc_hooks = {&FakeOpen::open, &FakeOpen::pause};
    }
    ~FakeOpen() { xdfc_hooks = {&std::fopen, &usleep}; }
};

TEST(OpenStream, BusyFileIsRetried) {
    TempDir dir;
    const std::string name = "!" + dir.file("dev", "x");
    {
        FakeOpen fake({EBUSY, EBUSY});
        const Opened o = openStream(name, "r");
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.comprc, 0);
        ASSERT_NE(o.fp, nullptr);
        EXPECT_EQ(FakeOpen::calls, 3);
        EXPECT_EQ(FakeOpen::pauses, 2);
        std::fclose(o.fp);
    }
    {
        FakeOpen fake(std::vector<int>(100, EBUSY));
        const Opened o = openStream(name, "r");
        EXPECT_EQ(o.rc, 8);
        EXPECT_EQ(o.comprc, EBUSY);
        EXPECT_EQ(o.fp, nullptr);
        EXPECT_EQ(FakeOpen::calls, 30);
        EXPECT_EQ(FakeOpen::pauses, 29);
        EXPECT_TRUE(contains(
            o.traces, "XDFCSFOF: Opening file [" + name.substr(1) + "], rc=10, file ptr=0000000000000000, errno=16"));
        EXPECT_TRUE(contains(o.traces, "XDFCHE F: HARDWARE ERROR! uErrorID=11, ulComprc=16"));
    }
}

TEST(OpenStream, LogNamesAreNotReportedAsHardErrors) {
    TempDir dir;
    const std::string log = "!" + dir.file("app.log", "x");
    const std::string plain = "!" + dir.file("app.dat", "x");
    {
        FakeOpen fake(std::vector<int>(100, EBUSY));
        const Opened o = openStream(log, "r");
        EXPECT_EQ(o.rc, 2);
        EXPECT_EQ(o.comprc, EBUSY);
        EXPECT_EQ(FakeOpen::calls, 30);
        EXPECT_TRUE(withPrefix(o.traces, "XDFCHE").empty());
    }
    for (const std::string &name : {log, plain}) {
        FakeOpen fake({EACCES});
        FILE *fp = nullptr;
        SPRET comprc = -1;
        unsigned action = 99;
        EXPECT_EQ(xdfc_search_file_open(name.c_str(), 0, 0, XDFC_E_OPEN, 0, &fp, &action, &comprc), 2);
        EXPECT_EQ(comprc, EACCES);
        EXPECT_EQ(action, 99u);  // set only on success
        EXPECT_EQ(FakeOpen::calls, 1);
    }
}

TEST(CloseAndDelete, ResultsAndTraces) {
    TempDir dir;
    const std::string path = dir.file("f", "x");
    FILE *fp = std::fopen(path.c_str(), "r");
    SPRET comprc = -1;
    SPRET rc = -1;
    Texts t = traced([&] { rc = xdfc_close_file(fp, &comprc); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(comprc, 0);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].substr(t[1].size() - 14), ", src=0, crc=0");

    t = traced([&] { rc = xdfc_delete_file(("!" + path).c_str(), &comprc); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(comprc, 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(t, (Texts{"XDFCDF T: -> xdfc_delete_file", "XDFCDF F: filename=[!" + path + "]",
                        "XDFCDF F: filename=[!" + path + "], src=0, crc=0", "XDFCDF T: <- xdfc_delete_file"}));

    EXPECT_EQ(xdfc_delete_file(("!" + path).c_str(), &comprc), 2);
    EXPECT_EQ(comprc, ENOENT);
}

TEST(LogicalNames, OpenAndDeleteThroughTheControlFile) {
    TempDir cwd, data;
    cwd.file("kbvddfc.trm", "*.dat " + data.path() + "/\n");
    inChild([&] {
        ASSERT_EQ(chdir(cwd.path().c_str()), 0);
        FILE *fp = nullptr;
        unsigned action = 0;
        SPRET comprc = -1;
        ASSERT_EQ(xdfc_search_file_open("a.dat", 0, 0, XDFC_DE_CREAT, 0, &fp, &action, &comprc), 0);
        EXPECT_EQ(action, 2u);
        std::fputs("data", fp);
        EXPECT_EQ(xdfc_close_file(fp, &comprc), 0);
        EXPECT_EQ(readFile(data.sub("a.dat")), "data");
        EXPECT_EQ(xdfc_delete_file("a.dat", &comprc), 0);
        EXPECT_FALSE(exists(data.sub("a.dat")));

        // A name that no pattern matches cannot be opened, deleted or created.
        fp = reinterpret_cast<FILE *>(1);
        EXPECT_EQ(xdfc_search_file_open2("a.txt", "w", &fp, &comprc), 2);
        EXPECT_EQ(comprc, 2);
        EXPECT_EQ(fp, reinterpret_cast<FILE *>(1));  // not written
        EXPECT_EQ(xdfc_search_file_open("a.txt", 0, 0, XDFC_DE_CREAT, 0, &fp, &action, &comprc), 2);
        EXPECT_EQ(comprc, 2);
        EXPECT_EQ(xdfc_delete_file("a.txt", &comprc), 2);
        EXPECT_EQ(comprc, 2);
    });
}

}  // namespace
