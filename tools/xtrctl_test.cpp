// Tests of xtrctl.  The text forms and the ring walk are tested directly;
// everything else drives the built tool as a user would, next to writer
// processes, all started from a forked child that entered an IPC namespace
// of its own, so nothing touches the machine's own trace buffer.  This test
// process never calls the facility.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <tuple>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "xtrctl.h"

using namespace xtrctl;

namespace {

// --- running processes ---

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

using testsupport::isolated;
using testsupport::kNobody;
using testsupport::lines;
using testsupport::readAll;
using testsupport::reap;
using testsupport::statusOf;
using testsupport::waitUntil;

// Starts argv with standard output and error in memory files; as uid and
// gid 65534 when asked, as an unprivileged attacker.
// The unprivileged user starts a copy of a built program it can reach.
pid_t start(const std::vector<std::string> &argv, int outFd, int errFd, int inFd = -1, bool nobody = false) {
    std::vector<std::string> strings = argv;
    std::string libraries;
    if (nobody && argv[0].find('/') != std::string::npos) {
        strings[0] = testsupport::reachableCopy(argv[0]);
        libraries = strings[0].substr(0, strings[0].rfind('/'));
    }
    std::vector<char *> args, env;
    for (auto &a : strings) args.push_back(a.data());
    args.push_back(nullptr);
    std::string libraryPath = "LD_LIBRARY_PATH=" + libraries;
    for (char **e = environ; *e != nullptr; e++)
        if (libraries.empty() || std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) env.push_back(*e);
    if (!libraries.empty()) env.push_back(libraryPath.data());
    env.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (nobody && testsupport::dropToNobody() != nullptr) _exit(126);
        if (inFd >= 0) dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execvpe(args[0], args.data(), env.data());
        _exit(127);
    }
    return pid;
}

struct Captured {
    int out = memfd_create("out", 0), err = memfd_create("err", 0);
    ~Captured() {
        close(out);
        close(err);
    }
};

Result run(const std::vector<std::string> &argv, const std::string &input = "", bool nobody = false) {
    Captured c;
    int in = -1;
    if (!input.empty()) {
        in = memfd_create("in", 0);
        EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        lseek(in, 0, SEEK_SET);
    }
    Result r;
    r.status = statusOf(reap(start(argv, c.out, c.err, in, nobody)));
    if (in >= 0) close(in);
    r.out = readAll(c.out);
    r.err = readAll(c.err);
    return r;
}

Result tool(std::vector<std::string> args) {
    args.insert(args.begin(), XTRCTL_BIN);
    return run(args);
}

Result writer(std::vector<std::string> args) {
    args.insert(args.begin(), XTRCTL_WRITER);
    Result r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
}

// The writer run as uid 65534.
Result attacker(std::vector<std::string> args) {
    args.insert(args.begin(), XTRCTL_WRITER);
    Result r = run(args, "", true);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
}

// A follower running in the background.
struct Follower {
    Captured c;
    pid_t pid = -1;
    explicit Follower(std::vector<std::string> args) {
        args.insert(args.begin(), {XTRCTL_BIN, "follow"});
        pid = start(args, c.out, c.err);
    }
    Result stop(int sig) {
        kill(pid, sig);
        Result r;
        r.status = statusOf(reap(pid));
        r.out = readAll(c.out);
        r.err = readAll(c.err);
        return r;
    }
};

// A copy of the shared header, read without the facility; null without one.
std::unique_ptr<TRACE_HDR> header() {
    const int id = shmget(static_cast<key_t>(XTR_SHM_KEY), 0, 0);
    if (id < 0) return nullptr;
    void *p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void *>(-1)) return nullptr;
    auto copy = std::make_unique<TRACE_HDR>();
    std::memcpy(copy.get(), p, sizeof(TRACE_HDR));
    shmdt(p);
    return copy;
}

bool registered(pid_t pid) {
    auto h = header();
    return h && h->pid == pid;
}

long field(const std::string &report, const std::string &name) {
    const size_t at = report.find(name + "=");
    return at == std::string::npos ? -1 : std::atol(report.c_str() + at + name.size() + 1);
}

std::string hex(std::string_view s) {
    std::string h;
    char b[3];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02x", c);
        h += b;
    }
    return h.empty() ? "-" : h;
}

// Parses JSON lines with Python's parser; per object: seconds, usecs, pid,
// tid and the hex of the UTF-8 of component, criteria and text.
const char *kJsonCheck = R"(
import calendar, datetime, json, sys
for line in sys.stdin:
    o = json.loads(line)
    assert sorted(o) == ["component", "criteria", "pid", "text", "tid", "time"], o
    assert type(o["pid"]) is int and type(o["tid"]) is int
    t = datetime.datetime.strptime(o["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    h = lambda s: s.encode("utf-8").hex() or "-"
    print(calendar.timegm(t.utctimetuple()), t.microsecond, o["pid"], o["tid"],
          h(o["component"]), h(o["criteria"]), h(o["text"]))
)";

std::vector<std::string> parsedJson(const std::string &jsonLines) {
    const Result r = run({"python3", "-c", kJsonCheck}, jsonLines);
    EXPECT_EQ(r.status, 0) << r.err;
    return lines(r.out);
}

// The fields of a fetched line, as the JSON check prints them.
std::string expectedJson(const std::string &fetched) {
    static const std::regex form(R"(^(\d{10})\.(\d{6}) ([0-9A-F]{8}):([0-9A-F]{8}) (.*)$)");
    std::smatch m;
    if (!std::regex_match(fetched, m, form)) {
        ADD_FAILURE() << "not a fetched line: " << fetched;
        return {};
    }
    std::string text = m[5], component = text.substr(0, 7);
    while (!component.empty() && component.back() == ' ') component.pop_back();
    return std::to_string(std::stoul(m[1])) + " " + std::to_string(std::stoul(m[2])) + " " +
           std::to_string(std::stoul(m[3], nullptr, 16)) + " " + std::to_string(std::stoul(m[4], nullptr, 16)) + " " +
           hex(component) + " " + hex(text.substr(7, 1)) + " " + hex(text.size() > 9 ? text.substr(9) : "");
}

// --- text forms and the ring walk ---

TEST(Entries, FetchedLineIsTheFacilityFormatAndReadsBack) {
    const Entry e{7, 5, 0x4D2, 0x4D3, "ABCDEFGF: hello"};
    EXPECT_EQ(fetchedLine(e), "0000000007.000005 000004D2:000004D3 ABCDEFGF: hello");
    Entry back;
    ASSERT_TRUE(parseFetchedLine(fetchedLine(e), back));
    EXPECT_EQ(back.time, 7u);
    EXPECT_EQ(back.usecs, 5u);
    EXPECT_EQ(back.pid, 0x4D2u);
    EXPECT_EQ(back.tid, 0x4D3u);
    EXPECT_EQ(back.text, e.text);
    for (const char *bad : {"0000000007.000005 000004d2:000004D3 x", "0000000007.000005 000004D2-000004D3 x",
                            "000000007.0000050 000004D2:000004D3 x", "0000000007.000005 000004D2:000004D3"}) {
        EXPECT_FALSE(parseFetchedLine(bad, back)) << bad;
    }
    EXPECT_EQ(isoTime(951782400, 42), "2000-02-29T00:00:00.000042Z");
}

TEST(Entries, JsonEscapesEverythingAParserRejects) {
    // text after the prefix, and what a JSON parser must read back (UTF-8).
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"quote \" backslash \\ tab \t nl \n cr \r del \x7f", "quote \" backslash \\ tab \t nl \n cr \r del \x7f"},
        {std::string("ctl \x01\x1f nul-free"), std::string("ctl \x01\x1f nul-free")},
        {"utf8 \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "utf8 \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        // Not UTF-8: each byte is read as Latin-1.
        {"bad \xff \x80 \xc0\xaf \xed\xa0\x80 \xe2\x82",
         "bad \xc3\xbf \xc2\x80 \xc3\x80\xc2\xaf \xc3\xad\xc2\xa0\xc2\x80 \xc3\xa2\xc2\x82"},
    };
    std::string input, expected;
    for (const auto &[text, decoded] : cases) {
        input += jsonLine(Entry{1, 2, 3, 4, "COMP   F:" + text}) + "\n";
        expected += "1 2 3 4 " + hex("COMP") + " " + hex("F") + " " + hex(decoded) + "\n";
        EXPECT_EQ(jsonLine(Entry{1, 2, 3, 4, "X" + text}).find_first_of("\n\r\t\x01"), std::string::npos);
    }
    std::string got;
    for (const auto &l : parsedJson(input)) got += l + "\n";
    EXPECT_EQ(got, expected);
    // A text shorter than its prefix still gives every field.
    EXPECT_EQ(jsonLine(Entry{0, 0, 1, 1, "AB"}),
              R"({"time":"1970-01-01T00:00:00.000000Z","pid":1,"tid":1,"component":"AB","criteria":"","text":""})");
}

// Writes an entry of `text` at `at` in ring; returns the next offset.
uint32_t put(unsigned char *ring, uint32_t at, const std::string &text) {
    const uint16_t length = static_cast<uint16_t>(text.size() + XTR_MSG_OVERHEAD);
    MSG m{length, 0, 1, 2, 3, 4};
    std::memcpy(ring + at, &m, sizeof m);
    std::memcpy(ring + at + XTR_MSG_HDR_LEN, text.c_str(), text.size() + 1);
    return at + length;
}

std::vector<std::string> texts(const unsigned char *ring, uint32_t from, uint32_t end, Walk *w = nullptr) {
    std::vector<Entry> got;
    const Walk r = collect(ring, from, end, got);
    if (w) *w = r;
    std::vector<std::string> t;
    for (const auto &e : got) t.push_back(e.text);
    return t;
}

TEST(Walk, TakesEntriesAcrossTheWrapAndStopsAtDamage) {
    std::vector<unsigned char> ring(kRingSize + 2, 0);
    uint32_t at = put(ring.data(), 65400, "OLDESTF: a");
    at = put(ring.data(), at, "OLDESTF: b");
    const uint16_t marker = 0;
    std::memcpy(ring.data() + at, &marker, 2);
    uint32_t end = put(ring.data(), 0, "NEWESTF: c");
    end = put(ring.data(), end, "NEWESTF: d");
    Walk w;
    EXPECT_EQ(texts(ring.data(), 65400, end, &w),
              (std::vector<std::string>{"OLDESTF: a", "OLDESTF: b", "NEWESTF: c", "NEWESTF: d"}));
    EXPECT_FALSE(w.damaged);
    EXPECT_EQ(texts(ring.data(), end, end).size(), 0u);

    // A marker where the range does not wrap is damage, not a way round.
    EXPECT_EQ(texts(ring.data(), 34, 65400 + 40, &w).size(), 1u);
    EXPECT_TRUE(w.damaged);
    // A marker at 0 would be visited for ever.
    std::memcpy(ring.data(), &marker, 2);
    EXPECT_TRUE(texts(ring.data(), 65400, end, &w).size() == 2 && w.damaged);
    // A length beyond the ring, and offsets beyond it.
    const uint16_t huge = 60000;
    std::memcpy(ring.data() + 65400, &huge, 2);
    EXPECT_TRUE(texts(ring.data(), 65400, end, &w).empty() && w.damaged);
    EXPECT_TRUE(texts(ring.data(), 70000, end, &w).empty() && w.damaged);
    EXPECT_TRUE(texts(ring.data(), 0, 70000, &w).empty() && w.damaged);
}

TEST(Walk, AnyRingContentEndsTheWalkInsideTheRing) {
    std::mt19937 rng(7);
    std::vector<unsigned char> ring(kRingSize + 2);
    for (int round = 0; round < 300; round++) {
        for (auto &b : ring) b = static_cast<unsigned char>(rng() % 4 == 0 ? 0 : rng());
        for (uint32_t at = rng() % 64; at < kRingSize; at += 24 + rng() % 300) {
            const uint16_t len = static_cast<uint16_t>(rng() % 3 == 0 ? 0 : 24 + rng() % 520);
            std::memcpy(ring.data() + at, &len, 2);
        }
        const uint32_t from = rng() % (kRingSize + 1), end = rng() % (kRingSize + 1);
        uint32_t visited = 0;
        const Walk w = xtr::walkRing(ring.data(), kRingSize, from, end, [&](const MSG &m, std::string_view text) {
            const auto pos = static_cast<uint32_t>(reinterpret_cast<const unsigned char *>(text.data()) - ring.data()) -
                             XTR_MSG_HDR_LEN;
            EXPECT_LE(pos + m.length, kRingSize);
            EXPECT_LE(text.size(), m.length - XTR_MSG_OVERHEAD);
            visited++;
        });
        EXPECT_EQ(w.entries, visited);
        EXPECT_LE(visited, 2 * kRingSize / XTR_MSG_OVERHEAD);
    }
}

// --- the tool, as a user drives it ---

TEST(Cli, WithoutABufferReadersExitThreeAndCreateNothing) {
    isolated([] {
        for (const auto &args :
             std::vector<std::vector<std::string>>{{"show"}, {"status"}, {"templates"}, {"follow"}}) {
            const Result r = tool(args);
            EXPECT_EQ(r.status, 3) << args[0];
            EXPECT_NE(r.err.find("no trace buffer"), std::string::npos) << args[0] << ": " << r.err;
        }
        EXPECT_EQ(tool({"remove"}).status, 1);
        EXPECT_EQ(header(), nullptr) << "a reading command created a buffer";
        const Result help = tool({"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("Exit status"), std::string::npos);

        // Editing a template is the one thing that makes a buffer, with the
        // default template 0 kept; an empty ring has nothing to show.
        EXPECT_EQ(tool({"template", "set", "4", "XYZ", "+   "}).status, 0);
        auto h = header();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(h->template_[0].tc), 7), "*      ");
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(h->template_[4].tc), 7), "XYZ    ");
        EXPECT_EQ(tool({"show"}).status, 1);
    });
}

TEST(Cli, BadInputIsRejectedAndChangesNothing) {
    isolated([] {
        writer({"trace", "XTWRITEF:", "3"});
        const auto before = header();
        ASSERT_NE(before, nullptr);
        const std::vector<std::vector<std::string>> bad = {
            {"template", "set", "10", "ABC", "++  "},
            {"template", "set", "-1", "ABC", "++  "},
            {"template", "set", "x", "ABC", "++  "},
            {"template", "set", "1", "ABCDEFGH", "++  "},
            {"template", "set", "1", "", "++  "},
            {"template", "set", "1", " AB", "++  "},
            {"template", "set", "1", "A/B", "++  "},
            {"template", "set", "1", "ABC", "+++"},
            {"template", "set", "1", "ABC", "+++++"},
            {"template", "set", "1", "ABC", "+x  "},
            {"template", "set", "1", "ABC", "++  ", "--pid", "abc"},
            {"template", "set", "1", "ABC", "++  ", "--tid", "4294967296"},
            {"template", "set", "1", "ABC"},
            {"template", "clear", "12"},
            {"template", "clear", "0", "--pid", "1"},
            {"template", "reset", "1"},
            {"show", "--last", "0"},
            {"show", "--pid"},
            {"show", "--bogus"},
            {"show", "extra"},
            {"status", "--json=1"},
            {"frobnicate"},
            {},
        };
        for (const auto &args : bad) {
            const Result r = tool(args);
            std::string shown;
            for (const auto &a : args) shown += "'" + a + "' ";
            EXPECT_EQ(r.status, 2) << shown;
            EXPECT_EQ(r.err.rfind("xtrctl: ", 0), 0u) << shown << r.err;
        }
        const auto after = header();
        ASSERT_NE(after, nullptr);
        // Templates and every field derived from them, byte for byte.
        EXPECT_EQ(std::memcmp(reinterpret_cast<const char *>(before.get()) + 77,
                              reinterpret_cast<const char *>(after.get()) + 77, 342 - 77),
                  0);
        EXPECT_EQ(before->active, after->active);
    });
}

TEST(Show, PrintsTheRingOldestFirstFilteredAndAsJson) {
    isolated([] {
        writer({"trace", "XTWRITEF:", "5"});
        writer({"trace", "OTHER  F:", "3"});
        const std::string odd = "q\"b\\s\tt\x01 \xc3\xa9 \xff end";
        writer({"text", "ODDTXT F:", odd});

        const Result all = tool({"show"});
        ASSERT_EQ(all.status, 0) << all.err;
        const auto shown = lines(all.out);
        ASSERT_EQ(shown.size(), 9u);
        for (int i = 0; i < 5; i++)
            EXPECT_NE(shown[i].find("XTWRITEF: seq=" + std::to_string(i) + " "), std::string::npos);
        EXPECT_NE(shown[7].find("OTHER  F: seq=2"), std::string::npos);
        // Controls and bytes that are not UTF-8 reach the terminal escaped.
        EXPECT_EQ(shown[8].substr(36), "ODDTXT F:q\"b\\\\s\\x09t\\x01 \xc3\xa9 \\xFF end");

        Entry first;
        ASSERT_TRUE(parseFetchedLine(shown[0], first));
        const std::string pid = std::to_string(first.pid);
        char hexPid[16];
        std::snprintf(hexPid, sizeof hexPid, "0x%X", first.pid);
        const Result byPid = tool({"show", "--pid", pid});
        EXPECT_EQ(lines(byPid.out), std::vector<std::string>(shown.begin(), shown.begin() + 5));
        EXPECT_EQ(tool({"show", "--pid", hexPid}).out, byPid.out);
        EXPECT_EQ(tool({"show", "--tid=" + std::to_string(first.tid)}).out, byPid.out);
        EXPECT_EQ(tool({"show", "--pid", pid, "--last", "2"}).out, shown[3] + "\n" + shown[4] + "\n");
        EXPECT_EQ(lines(tool({"show", "--last", "4"}).out), std::vector<std::string>(shown.begin() + 5, shown.end()));
        EXPECT_EQ(tool({"show", "--pid", "4000000"}).status, 1);

        const Result json = tool({"show", "--json"});
        ASSERT_EQ(json.status, 0);
        std::vector<std::string> expected;
        for (const auto &l : shown) expected.push_back(expectedJson(l));
        // JSON carries the text itself; the invalid byte comes back as U+00FF.
        expected.back() = expectedJson(shown[8].substr(0, 36) + "ODDTXT F:q\"b\\s\tt\x01 \xc3\xa9 \xc3\xbf end");
        EXPECT_EQ(parsedJson(json.out), expected);
    });
}

// Bytes that act on a terminal: a window title, clearing the screen, a
// carriage return and a line feed that forge a line of their own, DEL, and
// C1 controls both raw (CSI as 0x9B) and UTF-8 encoded (CSI, NEL).
const std::string kHostile =
    "\x1b]0;owned\x07\x1b[2J\rXREMHSTF: Successfully updated /etc/hosts\nforged \x7f \x9b"
    "31m \xc2\x9b"
    "0m \xc2\x85 end";

// Printable ASCII and line ends only: nothing a terminal acts on.
bool terminalSafe(const std::string &s) {
    for (unsigned char c : s) {
        if ((c < 0x20 && c != '\n') || c >= 0x7F) return false;
    }
    return true;
}

const std::regex kLineForm(R"(^\d{10}\.\d{6} [0-9A-F]{8}:[0-9A-F]{8} .*$)");

TEST(Hostile, EntriesReachTheTerminalEscapedOneLineEach) {
    isolated([] {
        writer({"trace", "XTWRITEF:", "2"});  // root's buffer
        Follower text({}), json({"--json"});
        ASSERT_TRUE(waitUntil([&] { return registered(text.pid) || registered(json.pid); }));
        // One follower holds the reader slot; the other is refused.  Which
        // one does not matter: both outputs are checked.
        const std::string hostileHex = hex(kHostile);
        attacker({"text", "EVILARGF:", kHostile});  // through xtr_trace's arguments
        attacker({"raw", hex("EVILRAWF:") + hostileHex});  // straight into the ring
        attacker({"poke", "tc1=" + hex("\x1b[2J\r\n"),
                  "tc2=" + hex("AB\x9b"
                               "1m")});
        ASSERT_TRUE(waitUntil([] {
            auto h = header();
            return h->pid == 0 || h->oldest == h->end;
        }));

        const Result shown = tool({"show"});
        ASSERT_EQ(shown.status, 0) << shown.err;
        EXPECT_TRUE(terminalSafe(shown.out)) << shown.out;
        const auto got = lines(shown.out);
        ASSERT_EQ(got.size(), 4u) << shown.out;
        for (const auto &l : got) EXPECT_TRUE(std::regex_match(l, kLineForm)) << l;
        const std::string escaped =
            "\\x1B]0;owned\\x07\\x1B[2J\\x0DXREMHSTF: Successfully updated /etc/hosts\\x0Aforged \\x7F \\x9B31m "
            "\\xC2\\x9B0m \\xC2\\x85 end";
        EXPECT_EQ(got[2].substr(36), "EVILARGF:" + escaped);
        EXPECT_EQ(got[3].substr(36), "EVILRAWF:" + escaped);

        // JSON keeps every byte: the text reads back whole (0x9B, not UTF-8,
        // as U+009B).
        std::string decoded = kHostile;
        decoded.replace(decoded.find("\x9b"), 1, "\xc2\x9b");
        const auto parsed = parsedJson(tool({"show", "--json"}).out);
        ASSERT_EQ(parsed.size(), 4u);
        for (int i : {2, 3}) EXPECT_NE(parsed[i].find(" " + hex(decoded)), std::string::npos) << parsed[i];

        const Result templates = tool({"templates"});
        EXPECT_TRUE(terminalSafe(templates.out)) << templates.out;
        EXPECT_NE(templates.out.find("\\x1B[2J\\x0D\\x0A"), std::string::npos) << templates.out;

        for (Follower *f : {&text, &json}) {
            const Result r = f->stop(SIGINT);
            EXPECT_TRUE(terminalSafe(r.out)) << r.out;
            if (r.status != 0) continue;  // the one that was refused
            const auto followed = lines(r.out);
            ASSERT_EQ(followed.size(), 2u) << r.out;
            if (f == &json) {
                EXPECT_EQ(parsedJson(r.out).size(), 2u);
            } else {
                EXPECT_EQ(followed[0], got[2]);
                EXPECT_EQ(followed[1], got[3]);
            }
        }

        // A rewritten eyecatcher is never printed, whatever status makes of it.
        attacker({"poke", "eyecatcher=" + hex("\x1b]0;x\x07\x1b[2J")});
        for (const auto &args : std::vector<std::vector<std::string>>{{"status"}, {"show"}}) {
            const Result r = tool(args);
            EXPECT_TRUE(terminalSafe(r.out + r.err)) << r.out << r.err;
        }
    });
}

TEST(Hostile, AnEntryHoldingNulBytesHidesNothing) {
    isolated([] {
        writer({"trace", "BEFORE F:", "1"});
        attacker({"raw", hex(std::string("NULTEXTF:a\0\0b\0", 14))});
        writer({"trace", "AFTER  F:", "2"});  // another process

        const auto shown = lines(tool({"show"}).out);
        ASSERT_EQ(shown.size(), 4u);
        EXPECT_EQ(shown[1].substr(36), "NULTEXTF:a\\x00\\x00b\\x00");
        EXPECT_NE(shown[3].find("AFTER  F: seq=1"), std::string::npos) << shown[3];
        EXPECT_EQ(parsedJson(tool({"show", "--json"}).out).size(), 4u);

        // The facility's fetch gives the same entries, each one line that a
        // reader finds by its NUL: a NUL inside the text reads as a blank.
        const auto fetched = lines(writer({"fetch"}).out);
        ASSERT_EQ(fetched.size(), 11u);
        for (int part : {0, 5}) {
            EXPECT_EQ(fetched[part + 2].substr(36), "NULTEXTF:a  b ");
            for (int i = 0; i < 4; i++) {
                if (i != 1) {
                    EXPECT_EQ(fetched[part + 1 + i], shown[i]);
                }
            }
        }
        EXPECT_EQ(fetched[10], "fetched=4");
    });
}

// --- filters, snapshots, the timeline export ---

TEST(Filters, SelectByComponentCriteriaAndTime) {
    isolated([] {
        // A ring with known content: components, criteria and times.
        const std::vector<std::tuple<std::string, uint32_t>> known = {
            {"ALPHA  F: one", 1000000000},  {"ALPHA  T: -> two", 1000000100}, {"ALPHABEL: three", 1000000200},
            {"BETA   D: four", 1000000300}, {"GAMMA  F: five", 1000000400},
        };
        for (const auto &[text, secs] : known) writer({"raw", "@" + std::to_string(secs), hex(text)});
        const auto texts = [](std::vector<std::string> args) {
            args.insert(args.begin(), "show");
            const Result r = tool(args);
            std::vector<std::string> t;
            for (const auto &l : lines(r.out)) t.push_back(l.substr(36, 5));
            if (r.status != 0) t.push_back("status " + std::to_string(r.status));
            return t;
        };
        using V = std::vector<std::string>;
        EXPECT_EQ(texts({"--component", "ALPHA"}), (V{"ALPHA", "ALPHA", "ALPHA"}));
        EXPECT_EQ(texts({"--component", "alphab*"}), (V{"ALPHA"}));  // as a template writes it
        EXPECT_EQ(texts({"--component", "BETA", "--component=GAMMA"}), (V{"BETA ", "GAMMA"}));
        EXPECT_EQ(texts({"--criteria", "tD"}), (V{"ALPHA", "BETA "}));
        EXPECT_EQ(texts({"--criteria", "F", "--component", "GAMMA"}), (V{"GAMMA"}));
        EXPECT_EQ(texts({"--since", "1000000100", "--until", "1000000300.000042"}), (V{"ALPHA", "ALPHA", "BETA "}));
        EXPECT_EQ(texts({"--since", "1000000300.000043"}), (V{"GAMMA"}));
        // 1000000200 is 2001-09-09T01:50:00Z.
        EXPECT_EQ(texts({"--since", "2001-09-09T01:50:00Z", "--until", "2001-09-09T03:50:00.000042+02:00"}),
                  (V{"ALPHA"}));
        EXPECT_EQ(texts({"--until", "2001-09-09", "--criteria", "L"}), (V{"status 1"}));
        EXPECT_EQ(texts({"--component", "GAMMA", "--last", "1", "--pid", std::to_string(getpid())}), (V{"status 1"}));
        for (const auto &bad : std::vector<V>{{"--component", "TOOLONGID"},
                                              {"--component", ""},
                                              {"--criteria", "X"},
                                              {"--since", "yesterday"},
                                              {"--until", "2001-13-01"},
                                              {"--since", "2001-09-09T25:00"}}) {
            EXPECT_EQ(texts(bad), (V{"status 2"})) << bad[0] << " " << bad[1];
        }
    });
}

// Writes `bytes` to a new file in one fresh directory and returns its path.
// The directory is made when the test process starts: a forked child, which
// ends with _exit, could never remove a directory of its own.
const testsupport::TempDir tempFiles("xtrctl_test");
std::string tempFile(const std::string &name, const std::string &bytes) { return tempFiles.file(name, bytes); }

TEST(Snapshot, ReadsBackAsTheLiveBufferAndRefusesDamage) {
    const std::string path = tempFile("ring.snap", "");
    isolated([&] {
        writer({"trace", "XTWRITEF:", "1000", "60"});  // wraps the ring
        writer({"raw", hex(std::string("NULTEXTF:\0x\x1b", 12))});
        const Result s = tool({"save", path});
        ASSERT_EQ(s.status, 0) << s.err;
        for (const auto &cmd : std::vector<std::vector<std::string>>{
                 {"show"}, {"show", "--json", "--last", "7"}, {"export", "--criteria", "F"}}) {
            std::vector<std::string> from = cmd;
            from.insert(from.end(), {"--from", path});
            const Result live = tool(cmd), file = tool(from);
            EXPECT_EQ(live.status, 0) << live.err;
            EXPECT_EQ(file.out, live.out) << cmd[0];
            EXPECT_GT(live.out.size(), 1000u);
        }
        const Result status = tool({"status", "--from", path, "--json"});
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_NE(status.out.find("\"ring_damaged\":0,"), std::string::npos) << status.out;
        EXPECT_NE(status.out.find("\"snapshot\":"), std::string::npos) << status.out;
    });
    const std::string saved = testsupport::readFile(path);
    // Anywhere, without a buffer: this process's namespace has none of its own.
    ASSERT_EQ(saved.size(), 56u + sizeof(TRACE_HDR));
    const std::string good = tempFile("copy.snap", saved);
    isolated([&] {
        EXPECT_GT(lines(tool({"show", "--from", good}).out).size(), 100u);
        EXPECT_EQ(header(), nullptr) << "reading a snapshot created a buffer";
    });

    std::string flipped = saved, cut = saved.substr(0, saved.size() - 1), version = saved, longer = saved + "x";
    flipped[56 + 400] ^= 1;
    version[16] = 2;
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {tempFile("flipped", flipped), "checksum"},
        {tempFile("cut", cut), "cut short"},
        {tempFile("version", version), "version 2"},
        {tempFile("longer", longer), "bytes after"},
        {tempFile("foreign", std::string(70000, 'x')), "not a trace buffer snapshot"},
        {tempFile("empty", ""), "not a trace buffer snapshot"},
        {"/tmp", "not a regular file"},
        {"/nonexistent/snap", "No such file"},
    };
    isolated([&] {
        for (const auto &[file, why] : damaged) {
            for (const char *cmd : {"show", "status", "export"}) {
                const Result r = tool({cmd, "--from", file});
                EXPECT_EQ(r.status, 4) << cmd << " " << file;
                EXPECT_NE(r.err.find(why), std::string::npos) << cmd << " " << file << ": " << r.err;
                EXPECT_TRUE(r.out.empty());
            }
        }
        EXPECT_EQ(tool({"save", path + ".new"}).status, 3);  // no buffer here: nothing to save
        writer({"trace", "XTWRITEF:", "1"});
        const Result r = tool({"save", "/nonexistent/dir/snap"});
        EXPECT_EQ(r.status, 4);
        EXPECT_NE(r.err.find("No such file"), std::string::npos) << r.err;
    });
}

// Checks a Trace Event Format file by the format's rules and prints, per
// thread in time order, "slice DEPTH NAME" for complete events and
// "instant NAME" for instant events.
const char *kTraceEventCheck = R"(
import json, sys
doc = json.load(sys.stdin)
assert isinstance(doc, dict) and isinstance(doc["traceEvents"], list), "object form with traceEvents"
assert doc.get("displayTimeUnit", "ms") in ("ms", "ns")
named, used, threads = set(), set(), {}
for e in doc["traceEvents"]:
    assert isinstance(e["name"], str) and e["ph"] in ("X", "i", "M"), e
    assert type(e["pid"]) is int and type(e["tid"]) is int, e
    if e["ph"] == "M":
        assert e["name"] in ("process_name", "thread_name") and isinstance(e["args"]["name"], str), e
        named.add((e["name"], e["pid"], e["tid"] if e["name"] == "thread_name" else 0))
        continue
    assert isinstance(e["ts"], (int, float)) and e["ts"] >= 0, e
    if e["ph"] == "X":
        assert isinstance(e["dur"], (int, float)) and e["dur"] >= 0, e
    else:
        assert e["s"] in ("g", "p", "t"), e
    assert isinstance(e.get("args", {}), dict) and isinstance(e.get("cat", ""), str)
    used.add((e["pid"], e["tid"]))
    threads.setdefault((e["pid"], e["tid"]), []).append(e)
for pid, tid in used:
    assert ("process_name", pid, 0) in named and ("thread_name", pid, tid) in named, (pid, tid)
for key in sorted(threads):
    stack = []
    # Complete events nest: each lies inside the one that encloses it.
    for e in sorted(threads[key], key=lambda e: (e["ts"], -e.get("dur", 0), e["ph"] != "X")):
        while stack and e["ts"] >= stack[-1]["ts"] + stack[-1]["dur"] and not (
                e["ts"] == stack[-1]["ts"] + stack[-1]["dur"] == stack[-1]["ts"]):
            stack.pop()
        if e["ph"] == "X":
            if stack:
                assert e["ts"] + e["dur"] <= stack[-1]["ts"] + stack[-1]["dur"], ("overlap", e, stack[-1])
            print("slice", len(stack), e["name"])
            stack.append(e)
        else:
            print("instant", e["name"])
)";

std::vector<std::string> checkedTimeline(const std::string &json) {
    const Result r = run({"python3", "-c", kTraceEventCheck}, json);
    EXPECT_EQ(r.status, 0) << r.err;
    return lines(r.out);
}

TEST(Export, CallsBecomeNestedSlicesAndTheRestInstants) {
    isolated([] {
        const std::string hosts = tempFile("hosts", "127.0.0.1 localhost\n10.0.0.9 myhost\n");
        const Result cmd = run({VORQ_HOSTS_CMD, "update", hosts, "myhost", "10.0.0.5"});
        ASSERT_EQ(cmd.status, 0);
        Entry first;
        const auto shown = lines(tool({"show"}).out);
        ASSERT_FALSE(shown.empty());
        ASSERT_TRUE(parseFetchedLine(shown[0], first));
        const Result r = tool({"export", "--pid", std::to_string(first.pid)});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto events = checkedTimeline(r.out);
        size_t calls = 0;
        for (const auto &l : shown) calls += l.find("XREMHSTT: -> ") != std::string::npos;
        std::vector<std::string> slices;
        for (const auto &e : events) {
            if (e.rfind("slice", 0) == 0) slices.push_back(e);
        }
        EXPECT_EQ(slices.size(), calls);
        EXPECT_EQ(events.size(), shown.size() - calls);  // every other entry is an instant
        EXPECT_NE(std::find(slices.begin(), slices.end(), "slice 0 vorqManageHostsFile"), slices.end());
        EXPECT_NE(std::find(slices.begin(), slices.end(), "slice 1 updateHostsFile"), slices.end());

        // Calls never left and exits never entered are instants; they break
        // no nesting of what follows.
        std::vector<std::string> nest = {"raw"};
        for (const char *t : {"NEST   T: -> outer", "NEST   T: -> lost", "NEST   T: <- stray", "NEST   T: -> inner",
                              "NEST   T: <- inner", "NEST   T: <- outer", "NEST   T: -> open"}) {
            nest.push_back(hex(t));
        }
        writer(nest);  // one thread
        const auto nested = checkedTimeline(tool({"export", "--component", "NEST"}).out);
        EXPECT_EQ(nested, (std::vector<std::string>{"slice 0 outer", "instant -> lost", "instant <- stray",
                                                    "slice 1 inner", "instant -> open"}));
    });
}

// --- forwarding to the system log ---

TEST(Syslog, MessagesFollowTheRfcAndEscapeWhatTheyCarry) {
    const Entry e{1000000000, 42, 0x4D2, 0x4D3, "AB]\"\\  F:\x1b[2J\nline"};
    EXPECT_EQ(syslogMessage(e, "host"),
              "<13>1 2001-09-09T01:46:40.000042Z host xtrctl 1234 - [trace@32473 pid=\"1234\" tid=\"1235\" "
              "component=\"AB\\]\\\"\\\\\\\\\" criteria=\"F\"] AB]\"\\\\  F:\\x1B[2J\\x0Aline");
    EXPECT_EQ(syslogSeverity('T'), 7);
    EXPECT_EQ(syslogSeverity('D'), 7);
    EXPECT_EQ(syslogSeverity('L'), 6);
    EXPECT_EQ(syslogSeverity('F'), 5);
    SyslogSink sink;
    std::string error;
    for (const char *bad : {"relative/path", "tcp://nohostport", "udp://:514", "tcp://host:", "http://x:1"}) {
        EXPECT_FALSE(sink.configure(bad, error)) << bad;
    }
    EXPECT_TRUE(sink.configure("tcp://[::1]:601", error));
    EXPECT_TRUE(sink.configure("", error));
}

// A real rsyslogd in a temporary directory, started and stopped by the
// test: it takes RFC 5424 messages on a unix socket and on a loopback TCP
// port and writes each one, parsed, as a line of fields to a file.
struct Rsyslogd {
    testsupport::TempDir tmp{"xtrctl_rsyslog"};
    std::string dir, socket, received;
    int port = 0;
    pid_t pid = -1;

    Rsyslogd() {
        dir = tmp.path();
        socket = dir + "/log.sock";
        received = dir + "/received.log";
        // A free loopback port, kept for restarts.
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
        close(s);
        const std::string conf =
            "global(workDirectory=\"" + dir +
            "\")\n"
            "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
            "module(load=\"imtcp\")\n"
            "input(type=\"imuxsock\" Socket=\"" +
            socket +
            "\" UseSpecialParser=\"off\" ParseHostname=\"on\" IgnoreTimestamp=\"off\" RateLimit.Interval=\"0\")\n"
            "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" +
            std::to_string(port) +
            "\")\n"
            "template(name=\"fields\" type=\"string\" string=\"%inputname%|%app-name%|%procid%|%syslogseverity%|"
            "%timereported:::date-rfc3339%|%structured-data%|%msg%\\n\")\n"
            "action(type=\"omfile\" file=\"" +
            received + "\" template=\"fields\")\n";
        FILE *f = std::fopen((dir + "/rsyslog.conf").c_str(), "w");
        std::fputs(conf.c_str(), f);
        std::fclose(f);
    }
    ~Rsyslogd() { stop(); }

    bool listening() const {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(s);
        return up && access(socket.c_str(), F_OK) == 0;
    }
    bool start() {
        const int err = open((dir + "/rsyslogd.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        pid = ::start({"rsyslogd", "-n", "-f", dir + "/rsyslog.conf", "-i", dir + "/rsyslogd.pid"}, err, err);
        close(err);
        return waitUntil([&] { return listening(); });
    }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        reap(pid);
        pid = -1;
    }
    // The received lines of one input ("imuxsock" or "imtcp"), split at '|'.
    std::vector<std::vector<std::string>> lines(const std::string &input) const {
        std::vector<std::vector<std::string>> out;
        for (const auto &l : ::lines(testsupport::readFile(received))) {
            std::vector<std::string> f;
            std::istringstream in(l);
            for (std::string x; f.size() < 6 && std::getline(in, x, '|');) f.push_back(x);
            std::string rest;
            std::getline(in, rest);
            f.push_back(rest);
            if (f[0] == input) out.push_back(f);
        }
        return out;
    }
};

// How often each "PREFIX seq=N" of a writer arrived, and the lost counts.
struct Arrivals {
    std::map<std::string, int> seen;  // "PREFIX N" -> times
    long lost = 0;
};

Arrivals arrivals(const std::vector<std::vector<std::string>> &got) {
    Arrivals a;
    static const std::regex entry(R"(^(\w+) +F: seq=(\d+) *$)"), lost(R"re(count="(\d+)")re");
    for (const auto &f : got) {
        std::smatch m;
        if (std::regex_match(f[6], m, entry)) a.seen[m[1].str() + " " + m[2].str()]++;
        if (f[5].find("[lost@32473") == 0 && std::regex_search(f[5], m, lost)) a.lost += std::stol(m[1]);
    }
    return a;
}

TEST(Syslog, EveryEntryReachesARealRsyslogdOnceAcrossARestart) {
    if (access("/usr/sbin/rsyslogd", X_OK) != 0) {
        FAIL() << "rsyslogd is not installed (scripts/install-deps.sh installs it)";
    }
    isolated([] {
        Rsyslogd daemon;
        ASSERT_TRUE(daemon.start()) << testsupport::readFile(daemon.dir + "/rsyslogd.err");
        const std::string tcp = "tcp://127.0.0.1:" + std::to_string(daemon.port);
        for (const auto &[dest, input] :
             std::vector<std::pair<std::string, std::string>>{{daemon.socket, "imuxsock"}, {tcp, "imtcp"}}) {
            SCOPED_TRACE(dest);
            Follower f({"--create", "--syslog=" + dest, "--criteria", "F"});
            ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
            const auto taken = [] {
                return waitUntil([] {
                    auto h = header();
                    return h->oldest == h->end;
                });
            };
            const auto count = [&](const std::string &prefix, int n) {
                return waitUntil([&] {
                    const Arrivals a = arrivals(daemon.lines(input));
                    return a.seen.count(prefix + " " + std::to_string(n - 1)) != 0;
                });
            };
            writer({"trace", "BEFORE F:", "200"});
            writer({"text", "BEFORE T:", " -> filtered out"});
            ASSERT_TRUE(count("BEFORE", 200)) << testsupport::readFile(daemon.received);
            // Entries the ring discarded before the follower took them.
            writer({"poke", "lost_msg=" + std::to_string(header()->lost_msg + 7)});
            ASSERT_TRUE(waitUntil([&] {
                return testsupport::readFile(daemon.received).find("7 trace entries were discarded") !=
                       std::string::npos;
            }));

            daemon.stop();
            writer({"trace", "DOWN   F:", "50"});
            ASSERT_TRUE(taken());
            writer({"trace", "SYNC   F:", "1"});  // taken only once the round before it has been sent
            ASSERT_TRUE(taken());
            ASSERT_TRUE(daemon.start());
            writer({"trace", "AFTER  F:", "100"});
            ASSERT_TRUE(count("AFTER", 100)) << testsupport::readFile(daemon.received);
            const Result r = f.stop(SIGTERM);
            EXPECT_EQ(r.status, 0) << r.err;

            const auto got = daemon.lines(input);
            const Arrivals a = arrivals(got);
            for (const auto &[prefix, n] : std::vector<std::pair<std::string, int>>{{"BEFORE", 200}, {"AFTER", 100}}) {
                for (int i = 0; i < n; i++) {
                    const auto it = a.seen.find(prefix + " " + std::to_string(i));
                    EXPECT_EQ(it == a.seen.end() ? 0 : it->second, 1) << prefix << " " << i;
                }
            }
            for (int i = 0; i < 50; i++) EXPECT_EQ(a.seen.count("DOWN " + std::to_string(i)), 0u) << i;
            EXPECT_GE(a.lost, 7 + 50);  // discarded, the down entries, and the sync entry if it went down too
            EXPECT_LE(a.lost, 7 + 51);
            EXPECT_NE(r.err.find("entries could not be forwarded meanwhile"), std::string::npos) << r.err;

            // The fields, against the entry as show gives it.
            Entry first;
            const auto shown = lines(tool({"show", "--component", "BEFORE", "--criteria", "F", "--last", "200"}).out);
            ASSERT_TRUE(!shown.empty() && parseFetchedLine(shown[0], first));
            const std::string iso = isoTime(first.time, first.usecs);
            bool found = false;
            for (const auto &fields : got) {
                if (fields[6] != first.text) continue;
                found = true;
                EXPECT_EQ(fields[1], "xtrctl");
                EXPECT_EQ(fields[2], std::to_string(first.pid));
                EXPECT_EQ(fields[3], "5");  // notice
                EXPECT_EQ(fields[4].substr(0, 26), iso.substr(0, 26));
                EXPECT_EQ(fields[5], "[trace@32473 pid=\"" + std::to_string(first.pid) + "\" tid=\"" +
                                         std::to_string(first.tid) + "\" component=\"BEFORE\" criteria=\"F\"]");
            }
            EXPECT_TRUE(found) << first.text;
            ASSERT_EQ(tool({"remove", "--force"}).status, 0);  // the next round starts on a fresh buffer
            truncate(daemon.received.c_str(), 0);
        }
    });
}

TEST(Follow, WithPriorityCatchesEveryEntryOfAWriter) {
    isolated([] {
        Follower f({"--priority", "--json", "--create"});
        ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
        auto h = header();
        EXPECT_TRUE(h->cont != 0 && h->priority != 0);

        const long n = 30000;
        writer({"trace", "XTWRITEF:", std::to_string(n), "40"});
        // Taken everything: oldest has reached end.
        EXPECT_TRUE(waitUntil([] {
            auto hh = header();
            return hh->oldest == hh->end;
        }));
        const Result r = f.stop(SIGINT);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(std::to_string(n) + " entries shown, 0 lost"), std::string::npos) << r.err;
        const auto got = parsedJson(r.out);
        ASSERT_EQ(got.size(), static_cast<size_t>(n));
        const auto objects = lines(r.out);
        for (long i = 0; i < n; i++) {
            if (objects[i].find("\"text\":\" seq=" + std::to_string(i) + " ") == std::string::npos) {
                ADD_FAILURE() << "entry " << i << " is " << objects[i];
                break;
            }
        }
        h = header();
        EXPECT_EQ(h->pid, 0);
        EXPECT_EQ(h->cont, 0);
        EXPECT_EQ(h->priority, 0);
    });
}

TEST(Follow, AKilledFollowerLeavesNoWriterPaused) {
    isolated([] {
        Follower f({"--priority", "--create"});
        ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
        const Result r = f.stop(SIGKILL);
        EXPECT_EQ(r.status, 128 + SIGKILL);
        EXPECT_TRUE(waitUntil([] { return header()->pid == 0; })) << "the registration outlived the follower";
        auto h = header();
        EXPECT_TRUE(h->cont == 0 && h->priority == 0);
        EXPECT_EQ(field(writer({"trace", "XTWRITEF:", "1000"}).out, "paced"), 0);
    });
}

TEST(Follow, AGoneReadersRegistrationIsClearedAndALiveOneKept) {
    isolated([] {
        const std::string gone = lines(writer({"deadpid"}).out).at(0);
        const std::vector<std::string> stale = {"poke",           "pid=" + gone, "cont=1",
                                                "cont_running=1", "priority=1",  "count=5000"};
        writer(stale);  // (that it pauses no writer is checked in the facility's own tests)

        const Result s = tool({"status"});
        EXPECT_EQ(s.status, 0);
        EXPECT_NE(s.err.find("pid " + gone + ") no longer reads"), std::string::npos) << s.err;
        auto h = header();
        EXPECT_TRUE(h->pid == 0 && h->cont == 0 && h->priority == 0);

        // A new follower takes over a gone reader's slot ...
        writer(stale);
        {
            Follower f({});
            ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
            EXPECT_EQ(header()->priority, 0);
            const Result r = f.stop(SIGTERM);
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.err.find("no longer reads"), std::string::npos) << r.err;
        }
        // ... also one written with a live process's pid, which never reads ...
        writer({"poke", "pid=" + std::to_string(getpid()), "cont=1"});
        Follower live({});
        ASSERT_TRUE(waitUntil([&] { return registered(live.pid); }));
        // ... but not a reader that keeps reading.
        const Result busy = tool({"follow"});
        EXPECT_EQ(busy.status, 3);
        EXPECT_NE(busy.err.find(std::to_string(live.pid)), std::string::npos) << busy.err;
        const std::string st = tool({"status", "--json"}).out;
        EXPECT_NE(st.find("\"reader_pid\":" + std::to_string(live.pid) + ",\"reader_alive\":1,\"cleared_reader\":0"),
                  std::string::npos)
            << st;
        EXPECT_TRUE(registered(live.pid));
        EXPECT_EQ(live.stop(SIGINT).status, 0);
    });
}

// Runs argv as the first process of a new PID namespace (sharing our IPC
// namespace, as a container may): its own pid there is 1, which means
// nothing here.  Signals sent to the returned process are passed on.
pid_t gPidNsChild = -1;
void passOn(int sig) { kill(gPidNsChild, sig); }

pid_t startInPidNamespace(const std::vector<std::string> &argv, int outFd, int errFd) {
    std::fflush(nullptr);
    const pid_t outer = fork();
    if (outer != 0) return outer;
    if (unshare(CLONE_NEWPID) != 0) _exit(125);
    gPidNsChild = start(argv, outFd, errFd);
    for (int sig : {SIGINT, SIGTERM}) signal(sig, passOn);
    int ws = 0;
    while (waitpid(gPidNsChild, &ws, 0) < 0 && errno == EINTR) {
    }
    _exit(statusOf(ws));
}

// A follower in another PID namespace: the writers here cannot see its
// pid, and neither can `status` run in a third namespace; it loses nothing
// and stays registered.
TEST(Follow, AReaderInAnotherPidNamespaceIsJudgedByItsReading) {
    isolated([] {
        writer({"trace", "XTWRITEF:", "1"});
        Captured c;
        const pid_t outer = startInPidNamespace({XTRCTL_BIN, "follow", "--priority"}, c.out, c.err);
        ASSERT_TRUE(waitUntil([] { return registered(1); }));
        const long n = 20000;
        writer({"trace", "XTWRITEF:", std::to_string(n)});  // here, pid 1 is another process
        EXPECT_TRUE(waitUntil([] {
            auto hh = header();
            return hh->oldest == hh->end;
        }));
        Captured sc;
        const pid_t st = startInPidNamespace({XTRCTL_BIN, "status", "--json"}, sc.out, sc.err);
        EXPECT_EQ(statusOf(reap(st)), 0) << readAll(sc.err);
        EXPECT_NE(readAll(sc.out).find("\"reader_pid\":1,\"reader_alive\":1,\"cleared_reader\":0"), std::string::npos)
            << readAll(sc.out);
        EXPECT_TRUE(registered(1));
        kill(outer, SIGINT);
        EXPECT_EQ(statusOf(reap(outer)), 0);
        const std::string err = readAll(c.err);
        EXPECT_NE(err.find(std::to_string(n) + " entries shown, 0 lost"), std::string::npos) << err;
        EXPECT_EQ(header()->pid, 0);
    });
}

TEST(HostileUser, ForeignSemaphoreIdsAreReportedAndNeverOperatedOn) {
    isolated([] {
        writer({"trace", "XTWRITEF:", "5"});
        const int foreign = semget(IPC_PRIVATE, 1, 0600);  // another program's, root's own
        ASSERT_GE(foreign, 0);
        const std::string id = std::to_string(foreign);
        attacker({"poke", "lock_sem=" + id, "event_sem=" + id});
        {
            Follower f({"--create"});
            ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
            writer({"trace", "XTWRITEF:", "300"});
            const Result r = f.stop(SIGINT);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.err.find("300 entries shown"), std::string::npos) << r.err;
        }
        EXPECT_EQ(semctl(foreign, 0, GETVAL), 0);  // follow's reset would have made it 1
        EXPECT_EQ(semctl(foreign, 0, GETPID), 0);  // nobody ever operated on it
        const Result text = tool({"status"});
        EXPECT_EQ(text.status, 0);
        EXPECT_NE(text.out.find("lock semaphore    id " + id), std::string::npos) << text.out;
        EXPECT_NE(text.out.find("does not match the set under the key"), std::string::npos) << text.out;
        const std::string json = tool({"status", "--json"}).out;
        EXPECT_NE(json.find("\"lock_sem_matches\":0"), std::string::npos) << json;
        EXPECT_NE(json.find("\"event_sem_matches\":0"), std::string::npos) << json;
        semctl(foreign, 0, IPC_RMID);
    });
}

// A local user takes the buffer lock and keeps it.  Every command that needs
// the lock gives up after a bounded wait with status 3, naming the holder;
// a follower ends the same way, its watchdog too.
TEST(HostileUser, AHeldLockEndsEveryWaitWithStatusThree) {
    isolated([] {
        writer({"trace", "XTWRITEF:", "5"});
        Follower f({});
        ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
        Captured c;
        const pid_t holder = start({XTRCTL_WRITER, "holdlock"}, c.out, c.err, -1, true);
        ASSERT_TRUE(waitUntil([&] { return readAll(c.out) == "ready\n"; }));
        const std::string names = "the last process to operate on it was pid " + std::to_string(holder);
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"status"}, {"templates"}, {"template", "set", "1", "ABC", "++  "}, {"follow"}}) {
            const Result r = tool(args);
            EXPECT_EQ(r.status, 3) << args[0];
            EXPECT_NE(r.err.find(names), std::string::npos) << args[0] << ": " << r.err;
        }
        const Result followed = f.stop(SIGTERM);  // it was stuck on the lock, or is now
        EXPECT_EQ(followed.status, 3) << followed.err;
        EXPECT_NE(followed.err.find(names), std::string::npos) << followed.err;
        kill(holder, SIGKILL);  // the kernel undoes its hold
        reap(holder);
        EXPECT_EQ(tool({"templates"}).status, 0);
    });
}

TEST(Templates, EditedTemplatesSelectAsSet) {
    isolated([] {
        ASSERT_EQ(tool({"template", "clear", "0"}).status, 0);
        ASSERT_EQ(tool({"template", "set", "2", "gamma", " -  "}).status, 0);  // lower case is taken as upper
        ASSERT_EQ(tool({"template", "set", "3", "ALPHA", "++  "}).status, 0);
        const Result any = tool({"template", "set", "5", "*", " + +"});
        ASSERT_EQ(any.status, 0);
        EXPECT_NE(any.out.find("every component"), std::string::npos) << any.out;

        const auto listed = lines(tool({"templates"}).out);
        ASSERT_EQ(listed.size(), 11u);
        EXPECT_EQ(listed[1], "0  (unused)");
        EXPECT_EQ(listed[3].substr(0, 18), "2  GAMMA      .-..");
        EXPECT_EQ(listed[4].substr(0, 18), "3  ALPHA      ++..");
        EXPECT_EQ(listed[6].substr(0, 18), "5  *          .+.+");
        const std::string status = tool({"status", "--json"}).out;
        EXPECT_NE(status.find("\"trace_all\":\"L\",\"trace_none\":\"D\""), std::string::npos) << status;

        const auto traceAll = [] {
            for (const char *p : {"ALPHA  T:", "ALPHA  F:", "BETA   T:", "BETA   F:", "BETA   L:", "BETA   D:",
                                  "GAMMA  F:", "GAMMA  L:"}) {
                writer({"text", p, " point"});
            }
            std::set<std::string> got;
            for (const auto &l : lines(tool({"show"}).out)) got.insert(l.substr(36, 9));
            return got;
        };
        EXPECT_EQ(traceAll(), (std::set<std::string>{"ALPHA  T:", "ALPHA  F:", "BETA   F:", "BETA   L:", "GAMMA  L:"}));

        // Bound to another process, template 3 no longer selects these
        // writers' points; their F points still pass template 5.
        ASSERT_EQ(tool({"remove"}).status, 0);
        ASSERT_EQ(tool({"template", "clear", "0"}).status, 0);
        ASSERT_EQ(tool({"template", "set", "3", "ALPHA", "++  ", "--pid", "1"}).status, 0);
        ASSERT_EQ(tool({"template", "set", "5", "*", " +  "}).status, 0);
        EXPECT_EQ(traceAll(), (std::set<std::string>{"ALPHA  F:", "BETA   F:", "GAMMA  F:"}));
        ASSERT_EQ(tool({"template", "clear", "3"}).status, 0);
        EXPECT_EQ(lines(tool({"templates"}).out).at(4), "3  (unused)");
    });
}

TEST(Remove, RefusedWhileAttachedUnlessForced) {
    isolated([] {
        Captured c;
        const pid_t holder = start({XTRCTL_WRITER, "hold"}, c.out, c.err);
        ASSERT_TRUE(waitUntil([&] { return readAll(c.out) == "ready\n"; }));
        const Result refused = tool({"remove"});
        EXPECT_EQ(refused.status, 3);
        EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
        EXPECT_NE(header(), nullptr);

        EXPECT_EQ(tool({"remove", "--force"}).status, 0);
        EXPECT_EQ(header(), nullptr);
        EXPECT_LT(semget(static_cast<key_t>(XTR_LOCK_SEM_KEY), 0, 0), 0);
        EXPECT_LT(semget(static_cast<key_t>(XTR_EVENT_SEM_KEY), 0, 0), 0);
        kill(holder, SIGTERM);
        reap(holder);
        EXPECT_EQ(tool({"remove"}).status, 1);
    });
}

TEST(Robustness, GarbageInTheHeaderNeitherCrashesNorHangsTheTool) {
    isolated([] {
        for (int seed = 1; seed <= 6; seed++) {
            writer({"trace", "XTWRITEF:", "20"});
            writer({"poke", "garbage=" + std::to_string(seed)});
            for (const auto &args :
                 std::vector<std::vector<std::string>>{{"show"}, {"show", "--json"}, {"status"}, {"templates"}}) {
                const Result r = tool(args);
                EXPECT_LE(r.status, 1) << args[0] << " seed " << seed << ": " << r.err;
            }
            writer({"poke", "garbage=" + std::to_string(seed + 100)});
            Follower f({});
            ASSERT_TRUE(waitUntil([&] { return registered(f.pid); }));
            writer({"poke", "garbage=" + std::to_string(seed + 200)});
            writer({"trace", "XTWRITEF:", "300"});
            const Result r = f.stop(SIGINT);
            EXPECT_EQ(r.status, 0) << "seed " << seed << ": " << r.err;
        }
    });
}

}  // namespace
