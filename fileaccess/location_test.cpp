// The control file: where it is looked for, how its lines become the name
// table, the lookup and the search along PATH, literal names, the limits
// of the path buffers, and the hard-error report.  Every case that loads a
// control file runs in a child of its own.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "test_support.h"

namespace {

using namespace xdfc_test;

// The table image of the given (pattern, directory) entries.
std::string tableOf(const std::vector<std::pair<std::string, std::string>> &entries) {
    std::string t;
    for (const auto &[pattern, dir] : entries) {
        t += static_cast<char>(pattern.size() + dir.size() + 4);
        t += '\0';
        t += pattern;
        t += '\0';
        t += dir;
        t += '\0';
    }
    t += '\0';
    return t;
}

std::string tableNow(std::size_t n) { return std::string(xdfc_file_req, n); }

// Looks a name up; the result, the completion code and the directory.
struct Lookup {
    SPRET rc;
    SPRET comprc;
    std::string dir;
};
Lookup lookup(const std::string &name) {
    char dir[kPathSize] = "";
    SPRET comprc = -1;
    const SPRET rc = xdfc_query_file_location(name.c_str(), dir, &comprc);
    return {rc, comprc, rc == 0 ? dir : ""};
}

void enter(const std::string &dir) { ASSERT_EQ(chdir(dir.c_str()), 0); }

TEST(ControlFile, CurrentDirectoryIsPreferredToConsolePath) {
    TempDir cwd, console;
    cwd.file("kbvddfc.trm", "n.dat /from/cwd/\n");
    console.file("kbvddfc.trm", "n.dat /from/console/\n");
    inChild([&] {
        enter(cwd.path());
        setenv("CONSOLE_PATH", (console.path() + "/").c_str(), 1);
        Lookup l;
        const Texts t = traced([&] { l = lookup("n.dat"); });
        EXPECT_EQ(l.rc, 0);
        EXPECT_EQ(l.comprc, 0);
        EXPECT_EQ(l.dir, "/from/cwd/");
        const std::string here = cwd.path() + "/";
        EXPECT_EQ(t, (Texts{"XDFCQFLT: -> xdfc_query_file_location", "XDFCQFLF: Looking for [n.dat]",
                            "XDFCI  F: Looking for kbvddfc.trm in the current directory [" + here + "].",
                            "XDFCI  F: Found kbvddfc.trm in the current directory [" + here + "].",
                            "XDFCI  D: Processed filename pattern=[n.dat]", "XDFCQFLF: Path is [/from/cwd/]",
                            "XDFCQFLT: <- xdfc_query_file_location"}));
    });
}

TEST(ControlFile, ConsolePathAndItsStarDirectory) {
    TempDir cwd, console;
    console.file("kbvddfc.trm", "n.dat /from/console/\nd.dat */d/\n");
    inChild([&] {
        enter(cwd.path());
        const std::string cp = console.path() + "/";
        setenv("CONSOLE_PATH", cp.c_str(), 1);
        Lookup l;
        const Texts t = traced([&] { l = lookup("n.dat"); });
        EXPECT_EQ(l.dir, "/from/console/");
        EXPECT_TRUE(contains(
            t, "XDFCI  F: Could not open [kbvddfc.trm] in the current directory [" + cwd.path() + "/] (rc=2)."));
        EXPECT_TRUE(contains(t, "XDFCI  F: Will try [" + cp + "kbvddfc.trm]."));
        EXPECT_EQ(lookup("d.dat").dir, cp + "d/");
    });
}

TEST(ControlFile, FailedLoadIsRetriedByTheNextLookup) {
    TempDir cwd;
    inChild([&] {
        enter(cwd.path());
        unsetenv("CONSOLE_PATH");
        if (exists("/console/kbvddfc.trm")) return;  // this machine has one
        Lookup l;
        Texts t = traced([&] { l = lookup("n.dat"); });
        EXPECT_EQ(l.rc, 2);
        EXPECT_EQ(l.comprc, 2);
        EXPECT_TRUE(contains(t, "XDFCI  F: Will try [/console/kbvddfc.trm]."));
        EXPECT_TRUE(contains(t, "XDFCI  F: Error on Open of [/console/kbvddfc.trm].(rc=2)"));

        char path[kPathSize];
        EXPECT_EQ(xdfc_getfilepath("n.dat", path), 2);  // the load's code is the resolution's

        cwd.file("kbvddfc.trm", "n.dat /now/\n");
        t = traced([&] { l = lookup("n.dat"); });
        EXPECT_EQ(l.rc, 0);
        EXPECT_EQ(l.dir, "/now/");
        EXPECT_TRUE(contains(t, "XDFCI  F: Found kbvddfc.trm in the current directory [" + cwd.path() + "/]."));
    });
}

TEST(ControlFile, LinesBecomeTableEntries) {
    TempDir cwd;
    const std::string longPattern(130, 'L');
    cwd.file("kbvddfc.trm", std::string("# comment with blanks /x/\r\n"
                                        "\r\n\n"
                                        "a.dat /data/a/ remark after the directory\r\n"
                                        "noblankline\n"
                                        " /empty/pattern/\n"
                                        "b\t?.dat /tab/in\tdir/\n"
                                        "c.dat  second blank\n"
                                        "*.cfg */cfg/\n"
                                        "star *\n"
                                        "mid /x*y/\n"
                                        "two **\n"
                                        "bs\\* /bs/\n"
                                        "semi /etc/app/;/ignored/\n"
                                        "a.dat /second/a/\n") +
                                longPattern + " /long/\n" + "last.dat /last/\x1a");
    inChild([&] {
        enter(cwd.path());
        Lookup l;
        const Texts t = traced([&] { l = lookup("a.dat"); });
        EXPECT_EQ(l.dir, "/data/a/");  // the earlier of two entries wins
        const std::string here = cwd.path() + "/";
        const std::string expected = tableOf({{"a.dat", "/data/a/"},
                                              {"", "/empty/pattern/"},
                                              {"b\t?.dat", "/tab/in\tdir/"},
                                              {"c.dat", ""},
                                              {"*.cfg", here + "cfg/"},
                                              {"star", here},
                                              {"mid", "/x" + here + "y/"},
                                              {"two", here + "*"},
                                              {"bs\\*", "/bs/"},
                                              {"semi", "/etc/app/;/ignored/"},
                                              {"a.dat", "/second/a/"},
                                              {"last.dat", "/last/"}});
        EXPECT_EQ(tableNow(expected.size()), expected);
        EXPECT_TRUE(contains(t, "XDFCI  F: Skipped filename pattern=[" + std::string(127, 'L') +
                                    "], its entry is longer than 127 bytes"));

        EXPECT_EQ(lookup("bX.dat").rc, 1);  // a tab is part of the pattern
        EXPECT_EQ(lookup("bX.dat").comprc, 2);
        EXPECT_EQ(lookup("b\tX.dat").dir, "/tab/in\tdir/");
        EXPECT_EQ(lookup("sub/.hidden.cfg").dir, here + "cfg/");  // wildcards match "/" and a leading dot
        EXPECT_EQ(lookup("bs\\q").dir, "/bs/");  // the backslash is ordinary
        EXPECT_EQ(lookup("bsq").rc, 1);
        EXPECT_EQ(lookup("c.dat").dir, "");
        EXPECT_EQ(lookup("").dir, "/empty/pattern/");
    });
}

TEST(ControlFile, EntryHoldingANulByteIsSkipped) {
    // Stored as it stands, the NUL would end the pattern at lookup and make
    // its tail pass for the directory.
    TempDir cwd;
    cwd.file("kbvddfc.trm", std::string("kbv\0x /console/\nok /fine/\n", 26));
    inChild([&] {
        enter(cwd.path());
        Lookup l;
        const Texts t = traced([&] { l = lookup("kbv"); });
        EXPECT_NE(l.rc, 0);  // no entry matches
        EXPECT_EQ(l.comprc, 2);
        EXPECT_TRUE(contains(t, "XDFCI  F: Skipped filename pattern=[kbv], its entry holds a NUL byte"));
        EXPECT_EQ(lookup("ok").dir, "/fine/");
    });
}

TEST(ControlFile, EmptyFileGivesAnEmptyTable) {
    TempDir cwd;
    cwd.file("kbvddfc.trm", "");
    inChild([&] {
        enter(cwd.path());
        const Lookup l = lookup("x");
        EXPECT_EQ(l.rc, 2);
        EXPECT_EQ(l.comprc, 2);
        EXPECT_EQ(xdfc_file_req[0], 0);
    });
}

// Entries of exactly 127 bytes: 1048 of them fill the table, the 1049th
// does not fit.
std::string fullEntries(int n) {
    std::string s;
    for (int i = 0; i < n; i++) {
        std::string pattern = "p" + std::to_string(i);
        pattern.resize(60, 'x');
        s += pattern + " /" + std::string(61, 'd') + "/\n";
    }
    return s;
}

TEST(ControlFile, TableNeverOverflows) {
    TempDir fits, tooLarge;
    fits.file("kbvddfc.trm", fullEntries(1048));
    const std::string big = fullEntries(1049);
    tooLarge.file("kbvddfc.trm", big);
    inChild([&] {
        enter(fits.path());
        EXPECT_EQ(lookup("p1047" + std::string(55, 'x')).rc, 0);
        EXPECT_EQ(xdfc_file_req[1048 * 127], 0);
    });
    inChild([&] {
        enter(tooLarge.path());
        Lookup l;
        const Texts t = traced([&] { l = lookup("p0" + std::string(58, 'x')); });
        EXPECT_EQ(l.rc, 2);
        EXPECT_EQ(l.comprc, 500);
        EXPECT_TRUE(contains(t, "XDFCI  F: KBVDDFC.TRM is too large, " + std::to_string(big.size())));
        EXPECT_EQ(lookup("p0" + std::string(58, 'x')).comprc, 500);  // loaded again, same result
    });
}

// Who may have shaped a control file decides whether it is used.  Each
// case prepares a directory and a candidate in it (as root or as uid
// 65534); a root process (or the uid named) meets the candidate through
// CONSOLE_PATH and as its current directory's file.  An untrusted one is
// skipped with its reason, the search goes on as if it were absent, and no
// word of it (or of the root-only file a link points to) reaches a trace.
TEST(ControlFileTrust, OnlyFilesNoOtherUserCanShapeAreUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "plays a local user against root";
    TempDir top, console;
    console.file("kbvddfc.trm", "n.dat /console/\n");
    const std::string empty = top.dir("empty", 0755), secret = top.dir("secret", 0700) + "/words";
    std::ofstream(secret) << "n.dat /secret/\nleak /x/\n";
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    enum Plant { kFile, kFifo, kLink };
    const struct {
        const char *dir;
        mode_t dirMode;
        uid_t owner;  // of the directory and of what is planted
        bool byNobody;
        Plant plant;
        mode_t mode;
        const char *why;  // none: the file is used
    } cases[] = {
        {"sticky", 01777, 0, true, kFile, 0644, "its directory is writable by group or others"},
        {"group", 0775, 0, false, kFile, 0644, "its directory is writable by group or others"},
        {"theirs", 0755, kNobody, true, kLink, 0, "its directory belongs to neither root nor the effective user"},
        {"theirfifo", 0755, kNobody, true, kFifo, 0644, "its directory belongs to neither root nor the effective user"},
        {"fifo", 0700, 0, false, kFifo, 0644, "it is not a regular file"},
        {"link", 0700, 0, false, kLink, 0, "it is a symbolic link"},
        {"given", 0755, 0, false, kFile, 0644, "it belongs to neither root nor the effective user"},
        {"writable", 0755, 0, false, kFile, 0646, "it is writable by group or others"},
        {"root", 0755, 0, false, kFile, 0644, nullptr},
        {"mine", 0755, kNobody, true, kFile, 0644, nullptr},  // used by that user
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        const std::string dir = top.dir(c.dir, c.dirMode, c.owner), file = dir + "/kbvddfc.trm";
        (c.byNobody ? asNobody : inChild)([&] {
            if (c.plant == kLink) {
                ASSERT_EQ(symlink(secret.c_str(), file.c_str()), 0);
                return;
            }
            if (c.plant == kFifo) {
                ASSERT_EQ(mkfifo(file.c_str(), c.mode), 0);
            } else {
                std::ofstream(file) << "n.dat /planted/\nleak /x/\n";
            }
            ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        });
        if (std::string(c.dir) == "given") {
            ASSERT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
        }
        const std::string skipped = "XDFCI  F: Skipped [kbvddfc.trm] in [" + dir + "/], " + (c.why ? c.why : "");
        for (const bool viaConsolePath : {true, false}) {
            (c.why == nullptr && c.byNobody ? asNobody : inChild)([&] {
                enter(viaConsolePath ? empty : dir);
                setenv("CONSOLE_PATH", ((viaConsolePath ? dir : console.path()) + "/").c_str(), 1);
                Lookup l;
                const Texts t = traced([&] { l = lookup("n.dat"); });
                if (c.why == nullptr) {
                    EXPECT_EQ(l.dir, "/planted/");
                    return;
                }
                EXPECT_EQ(l.comprc, viaConsolePath ? ENOENT : 0);  // as if absent
                EXPECT_EQ(l.dir, viaConsolePath ? "" : "/console/");
                EXPECT_TRUE(contains(t, skipped));
                for (const auto &text : t) EXPECT_EQ(text.find("leak"), std::string::npos) << text;
            });
        }
    }
}

TEST(PathSearch, ElementsInOrderAndTheFallback) {
    TempDir cwd, d1, d2;
    cwd.file("kbvddfc.trm", "tool.bin /etc/app/;\nnone.bin /fall/back;x\nempty.bin ;\ntmp /nope/;\n");
    d2.file("tool.bin", "x");
    inChild([&] {
        enter(cwd.path());
        setenv("PATH", (d1.path() + ":" + d2.path()).c_str(), 1);
        Lookup l;
        Texts t = traced([&] { l = lookup("tool.bin"); });
        EXPECT_EQ(l.dir, d2.path() + "/");
        EXPECT_EQ(withPrefix(t, "XDFCQFLD"),
                  (Texts{"XDFCQFLD: searching path [" + d1.path() + "/tool.bin] for [tool.bin].",
                         "XDFCQFLD: searching path [" + d2.path() + "/tool.bin] for [tool.bin].",
                         "XDFCQFLD: file found. szFQName is '" + d2.path() + "/tool.bin'"}));
        EXPECT_TRUE(contains(t, "XDFCQFLF: Final Path is [" + d2.path() + "/]"));
        char path[kPathSize];
        EXPECT_EQ(xdfc_getfilepath("tool.bin", path), 0);
        EXPECT_EQ(std::string(path), d2.path() + "/tool.bin");

        setenv("PATH", d1.path().c_str(), 1);
        t = traced([&] { l = lookup("tool.bin"); });
        EXPECT_EQ(l.dir, "/etc/app/");
        EXPECT_TRUE(contains(t, "XDFCQFLD: file not found along path. Using first path."));
        EXPECT_TRUE(contains(t, "XDFCQFLF: Final Path is [/etc/app/]"));

        setenv("PATH", (d1.path() + ":").c_str(), 1);  // a final colon adds no element
        t = traced([&] { l = lookup("tool.bin"); });
        EXPECT_EQ(l.dir, "/etc/app/");
        EXPECT_EQ(withPrefix(t, "XDFCQFLD: searching").size(), 1u);

        setenv("PATH", "", 1);
        t = traced([&] { l = lookup("tool.bin"); });
        EXPECT_EQ(l.dir, "/etc/app/");
        EXPECT_TRUE(withPrefix(t, "XDFCQFLD: searching").empty());
        unsetenv("PATH");
        EXPECT_EQ(lookup("tool.bin").dir, "/etc/app/");

        EXPECT_EQ(lookup("none.bin").dir, "/fall/back/");  // "/" added to the fallback
        EXPECT_EQ(lookup("empty.bin").dir, "/");

        setenv("PATH", (d1.path() + "::" + d2.path()).c_str(), 1);  // the empty element is "/"
        EXPECT_EQ(lookup("tmp").dir, "/");

        setenv("PATH", ("/" + std::string(600, 'a')).c_str(), 1);
        t = traced([&] { l = lookup("tool.bin"); });
        EXPECT_EQ(l.rc, 2);
        EXPECT_EQ(l.comprc, ENAMETOOLONG);
        EXPECT_TRUE(contains(t, "XDFCQFLF: PATH element for [tool.bin] makes a path longer than 511 characters"));
    });
}

TEST(Resolution, LiteralNamesNeedNoControlFile) {
    TempDir cwd, console;
    inChild([&] {
        enter(cwd.path());
        setenv("CONSOLE_PATH", (console.path() + "/").c_str(), 1);
        char path[kPathSize];
        SPRET rc = -1;
        const Texts t = traced([&] { rc = xdfc_getfilepath("!/tmp/raw.dat", path); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(std::string(path), "/tmp/raw.dat");
        EXPECT_TRUE(t.empty());

        const std::string longest = "/" + std::string(510, 'r');
        EXPECT_EQ(xdfc_getfilepath(("!" + longest).c_str(), path), 0);
        EXPECT_EQ(std::string(path), longest);
        EXPECT_EQ(xdfc_getfilepath(("!" + longest + "r").c_str(), path), ENAMETOOLONG);
        EXPECT_EQ(lookup("x").comprc, 2);  // only now is the control file looked for
    });
}

TEST(Resolution, PathsThatDoNotFitAreRefused) {
    TempDir cwd;
    cwd.file("kbvddfc.trm", "n* /x/\n");
    inChild([&] {
        enter(cwd.path());
        char path[kPathSize];
        const std::string fits = "n" + std::string(507, 'a');  // "/x/" and 508 characters
        EXPECT_EQ(xdfc_getfilepath(fits.c_str(), path), 0);
        EXPECT_EQ(std::strlen(path), 511u);
        EXPECT_EQ(xdfc_getfilepath((fits + "a").c_str(), path), ENAMETOOLONG);

        FILE *fp = nullptr;
        SPRET comprc = 0;
        EXPECT_EQ(xdfc_search_file_open2((fits + "a").c_str(), "r", &fp, &comprc), 2);
        EXPECT_EQ(comprc, ENAMETOOLONG);
        EXPECT_EQ(fp, nullptr);
    });
}

// A CONSOLE_PATH of 100-character components, n characters long in all.
std::string consolePathOf(std::size_t n) {
    std::string s;
    while (s.size() + 101 < n) s += "/" + std::string(100, 'c');
    s += "/" + std::string(n - s.size() - 2, 'c') + "/";
    return s;
}

TEST(Resolution, LongConsolePathAndCurrentDirectory) {
    TempDir cwd;
    inChild([&] {
        enter(cwd.path());
        setenv("CONSOLE_PATH", consolePathOf(1012).c_str(), 1);
        EXPECT_EQ(lookup("x").comprc, 2);  // tried, and not there
        setenv("CONSOLE_PATH", consolePathOf(1013).c_str(), 1);
        Lookup l;
        const Texts t = traced([&] { l = lookup("x"); });
        EXPECT_EQ(l.comprc, ENAMETOOLONG);
        EXPECT_TRUE(contains(t, "XDFCI  F: CONSOLE_PATH is longer than 1012 characters."));
    });
    inChild([&] {
        enter(cwd.path());
        const std::string part(200, 'w');
        while (true) {
            char here[4096];
            ASSERT_NE(getcwd(here, sizeof here), nullptr);
            if (std::strlen(here) > 1022) break;
            ASSERT_EQ(mkdir(part.c_str(), 0700), 0);
            enter(part);
        }
        Lookup l;
        const Texts t = traced([&] { l = lookup("x"); });
        EXPECT_EQ(l.rc, 2);
        EXPECT_EQ(l.comprc, ENAMETOOLONG);
        EXPECT_TRUE(contains(t, "XDFCI  F: Could not take the current directory (rc=36)."));
    });
}

TEST(HardError, DeviceLevelErrorsAreEight) {
    for (SPRET e : {EIO, ENXIO, EBUSY, ENODEV}) {
        SPRET rc = 0;
        const Texts t = traced([&] { rc = xdfc_hard_err(HardErrorSite::kOpen, e, "/some/path"); });
        EXPECT_EQ(rc, 8);
        EXPECT_EQ(t, Texts{"XDFCHE F: HARDWARE ERROR! uErrorID=11, ulComprc=" + std::to_string(e)});
    }
    for (SPRET e : {0, ENOENT, EAGAIN, EACCES, ENOSPC}) {
        SPRET rc = 0;
        const Texts t = traced([&] { rc = xdfc_hard_err(HardErrorSite::kDelete, e, nullptr); });
        EXPECT_EQ(rc, 2);
        EXPECT_TRUE(t.empty());
    }
}

}  // namespace
