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
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "xtrctl.h"

using namespace xtrctl;

namespace {

// --- running processes ---

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

std::string readAll(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) s.append(buf, static_cast<size_t>(n));
    return s;
}

int statusOf(int ws) { return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws); }

// Polls until pred() holds; false after `seconds` (a guard against a hang,
// not a measurement).
bool waitUntil(const std::function<bool()> &pred, int seconds = 30) {
    for (long i = 0; i < seconds * 200L; i++) {
        if (pred()) return true;
        usleep(5000);
    }
    return pred();
}

int reap(pid_t pid, int seconds = 60) {
    int ws = 0;
    if (!waitUntil([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, seconds)) {
        ADD_FAILURE() << "process " << pid << " hung; killed";
        kill(pid, SIGKILL);
        waitpid(pid, &ws, 0);
    }
    return ws;
}

constexpr uid_t kNobody = 65534;

// Starts argv with standard output and error in memory files; with asNobody
// as the unprivileged user 65534 (the hostile local user).
pid_t start(const std::vector<std::string> &argv, int outFd, int errFd, int inFd = -1, bool asNobody = false) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
        if (inFd >= 0) dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
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

Result run(const std::vector<std::string> &argv, const std::string &input = "", bool asNobody = false) {
    Captured c;
    int in = -1;
    if (!input.empty()) {
        in = memfd_create("in", 0);
        EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        lseek(in, 0, SEEK_SET);
    }
    Result r;
    r.status = statusOf(reap(start(argv, c.out, c.err, in, asNobody)));
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

// The writer helper run by the unprivileged user.
Result nobodyWriter(std::vector<std::string> args) {
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

// Runs body in a child in a fresh IPC namespace; fails unless the child
// ends without a failed assertion.
void isolated(const std::function<void()> &body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWIPC) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
            ADD_FAILURE() << "cannot enter an IPC namespace of its own";
        } else {
            body();
        }
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    ASSERT_GT(pid, 0);
    EXPECT_EQ(statusOf(reap(pid, 110)), 0);
}

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

std::vector<std::string> lines(const std::string &s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
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
        {"bad \xff \x80 \xc0\xaf \xed\xa0\x80 \xe2\x82", "bad \xc3\xbf \xc2\x80 \xc3\x80\xc2\xaf \xc3\xad\xc2\xa0\xc2\x80 \xc3\xa2\xc2\x82"},
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
        const Walk w = walkRing(ring.data(), from, end, [&](const MSG &m, std::string_view text) {
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
        for (const auto &args : std::vector<std::vector<std::string>>{{"show"}, {"status"}, {"templates"}, {"follow"}}) {
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
            {"template", "set", "10", "ABC", "++  "},  {"template", "set", "-1", "ABC", "++  "},
            {"template", "set", "x", "ABC", "++  "},   {"template", "set", "1", "ABCDEFGH", "++  "},
            {"template", "set", "1", "", "++  "},      {"template", "set", "1", " AB", "++  "},
            {"template", "set", "1", "A/B", "++  "},   {"template", "set", "1", "ABC", "+++"},
            {"template", "set", "1", "ABC", "+++++"},  {"template", "set", "1", "ABC", "+x  "},
            {"template", "set", "1", "ABC", "++  ", "--pid", "abc"},
            {"template", "set", "1", "ABC", "++  ", "--tid", "4294967296"},
            {"template", "set", "1", "ABC"},           {"template", "clear", "12"},
            {"template", "clear", "0", "--pid", "1"},  {"template", "reset", "1"},
            {"show", "--last", "0"},                   {"show", "--pid"},
            {"show", "--bogus"},                       {"show", "extra"},
            {"status", "--json=1"},                    {"frobnicate"},
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
        for (int i = 0; i < 5; i++) EXPECT_NE(shown[i].find("XTWRITEF: seq=" + std::to_string(i) + " "), std::string::npos);
        EXPECT_NE(shown[7].find("OTHER  F: seq=2"), std::string::npos);
        EXPECT_EQ(shown[8].substr(36), "ODDTXT F:" + odd);

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
        // The invalid byte comes back as U+00FF.
        std::string &lastText = expected.back();
        lastText.replace(lastText.rfind(hex(odd)), hex(odd).size(), hex("q\"b\\s\tt\x01 \xc3\xa9 \xc3\xbf end"));
        EXPECT_EQ(parsedJson(json.out), expected);
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
        const std::vector<std::string> stale = {"poke", "pid=" + gone, "cont=1", "cont_running=1", "priority=1",
                                                "count=5000"};
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
        nobodyWriter({"poke", "lock_sem=" + id, "event_sem=" + id});
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
            for (const auto &args : std::vector<std::vector<std::string>>{{"show"}, {"show", "--json"}, {"status"},
                                                                          {"templates"}}) {
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
