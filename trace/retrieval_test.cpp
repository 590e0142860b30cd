// Pointer probes, byte dumps and the retrieval calls.  The test binary runs
// in an IPC namespace of its own; each test starts from an emptied shared
// ring and per-process ring.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kbvdtrac.h"
#include "kbvepce.h"
#include "ring.h"
#include "trace_testing.h"

namespace {

using Texts = std::vector<std::string>;
using xtr::testing::clearPrivateRing;
using xtr::testing::privateRingTexts;

TRACE_HDR *armedHeader() {
    xtr_trace("XTESTRTF: arm");
    return xtr_get_hdr();
}

// An empty shared ring and per-process ring, all entries gone.
TRACE_HDR *freshRings() {
    TRACE_HDR *h = armedHeader();
    h->begin = h->end = h->oldest = 0;
    clearPrivateRing();
    return h;
}

Texts sharedTexts(TRACE_HDR *h) {
    Texts t;
    xtr::walkRing(h->pbuffer, XTR_RING_SIZE, h->begin, h->end,
                  [&](const MSG &, std::string_view s) { t.emplace_back(s); });
    return t;
}

// The lines of a fetch buffer, split at their NULs.
Texts lines(const std::vector<char> &buf) {
    Texts out;
    size_t at = 0;
    while (at < buf.size() && buf[at] != '\0') {
        std::string line(&buf[at]);
        at += line.size() + 1;
        out.push_back(line);
    }
    return out;
}

// A readable page, an unreadable one, and a readable one again.
struct GuardPage {
    GuardPage() {
        page =
            static_cast<char *>(mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(page + kPage, kPage, PROT_NONE);
    }
    ~GuardPage() { munmap(page, 3 * kPage); }
    char *end() const { return page + kPage; }  // first unreadable byte
    static constexpr size_t kPage = 4096;
    char *page;
};

TEST(Probes, ReadableAndUnreadableMemory) {
    int len = -7;
    EXPECT_EQ(xpce_ckstr_tr(nullptr, &len), 2);
    EXPECT_EQ(len, -7);
    EXPECT_EQ(xpce_ckstr_tr("", &len), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(xpce_ckstr_tr("abc", &len), 0);
    EXPECT_EQ(len, 3);

    EXPECT_EQ(xpce_ckptr_tr(nullptr, 100), 2);  // probes address 96
    EXPECT_EQ(xpce_ckptr_tr(reinterpret_cast<void *>(4096 - 100 + 96), 100), 2);  // still unmapped low memory
    GuardPage g;
    EXPECT_EQ(xpce_ckptr_tr(g.end() - 1, 1), 2);  // a one-byte area reads four bytes at its start
    EXPECT_EQ(xpce_ckptr_tr(g.end() - 4, 4), 0);
    EXPECT_EQ(xpce_ckptr_tr(g.end() - 4, 0), 0);
    EXPECT_EQ(xpce_ckptr_tr(g.end() - 4, -5), 0);
    EXPECT_EQ(xpce_ckptr_tr(g.end() - 8, 9), 2);  // the last word runs into the unreadable page
    // Only the last word counts: an area that starts in unreadable memory but
    // ends in readable memory passes.
    EXPECT_EQ(xpce_ckptr_tr(g.page - 4096 * 16, 4096 * 17), 0);
    g.page[GuardPage::kPage - 1] = '\0';
    EXPECT_EQ(xpce_ckstr_tr(g.end() - 1, &len), 0);  // probing again at once after faults works
    EXPECT_EQ(len, 0);
    std::memset(g.page, 'x', GuardPage::kPage);
    EXPECT_EQ(xpce_ckstr_tr(g.page, &len), 2);  // no NUL before the unreadable page
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void faultOn(volatile char *p) { *p = 1; }

sigjmp_buf appJump;
volatile sig_atomic_t appHandlerRan = 0;
void appHandler(int) {
    appHandlerRan = 1;
    siglongjmp(appJump, 1);
}

TEST(Probes, ApplicationHandlerIsBackAfterwards) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = appHandler;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &sa, &old), 0);
    EXPECT_EQ(xpce_ckptr_tr(nullptr, 4), 2);
    const char *badFormat = reinterpret_cast<const char *>(8);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    xtr_trace(badFormat);  // a trace call that faults
#pragma GCC diagnostic pop
    struct sigaction now {};
    sigaction(SIGSEGV, nullptr, &now);
    EXPECT_EQ(now.sa_handler, appHandler);
    GuardPage g;
    if (sigsetjmp(appJump, 1) == 0) faultOn(g.end());  // the application's own fault
    EXPECT_EQ(appHandlerRan, 1);
    sigaction(SIGSEGV, &old, nullptr);
}

TEST(Dump, LineLayoutAndCounts) {
    TRACE_HDR *h = freshRings();
    const unsigned char bytes[48] = {1, 2, 3, 4, 5, 0xAB, 0xCD, 0xEF, 0x10};
    errno = EXDEV;
    xtr_dump_bytes("XTESTDPF: x", bytes, 5);
    xtr_dump_bytes("XTESTDPF:", bytes, 32);
    xtr_dump_bytes("XTESTDPF:", bytes + 8, 33);
    xtr_dump_bytes("XTESTDPF:", bytes, 0);
    EXPECT_EQ(errno, EXDEV);
    const Texts expected = {
        "XTESTDPF: x 01020304 05", "XTESTDPF: 01020304 05ABCDEF 10000000 00000000 00000000 00000000 00000000 00000000",
        "XTESTDPF: 10000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000", "XTESTDPF: 00"};
    EXPECT_EQ(privateRingTexts(), expected);
    EXPECT_EQ(sharedTexts(h), expected);  // F is selected by the default templates

    freshRings();
    xtr_dump_bytes("XTESTDPD:", bytes, 4);  // D: own ring only
    EXPECT_EQ(privateRingTexts(), Texts{"XTESTDPD: 01020304"});
    EXPECT_TRUE(sharedTexts(h).empty());
}

TEST(Dump, BadPrefixesAndAreas) {
    TRACE_HDR *h = freshRings();
    const char data[4] = {};
    xtr_dump_bytes(nullptr, data, 4);
    xtr_dump_bytes("XTESTDP", data, 4);
    std::string longest = "XTESTDPF:" + std::string(91, 'p');
    xtr_dump_bytes(longest.c_str(), data, 1);
    xtr_dump_bytes((longest + "q").c_str(), data, 1);
    xtr_dump_bytes("XTESTDPX: odd", data, 1);
    xtr_dump_bytes("XTESTDPF: null", nullptr, 0);
    GuardPage g;
    // Readable at both ends, unreadable after its first 3996 bytes.
    xtr_dump_bytes("XTESTDPF: middle", g.page + 100, GuardPage::kPage * 3 - 200);
    Texts t = privateRingTexts();
    ASSERT_GE(t.size(), 8u);
    EXPECT_EQ(t[0], "XTR    T:#### BAD XTR_DUMP_BYTES PREFIX POINTER!!!!!");
    EXPECT_EQ(t[1], "XTR    F:#### XTR_DUMP_BYTES PREFIX  [XTESTDP] TOO short!!!!!!");
    EXPECT_EQ(t[2], longest + " 00");
    EXPECT_EQ(t[3], "XTR    F:#### XTR_DUMP_BYTES PREFIX  [XTESTDPF:ppppppppppp] TOO LONG!!!!!!");
    EXPECT_EQ(t[4], "XTR    F:#### INVALID XTR_DUMP_BYTES PREFIX TRACE CRITERIA [X] in [XTESTDPX: odd]");
    EXPECT_EQ(t[5], "XTESTDPX: odd 00");
    EXPECT_EQ(t[6].rfind("XTRACE F: [XTESTDPF: null] #### BAD POINTER (0000000000000000) PASSED", 0), 0u) << t[6];
    // The readable lines of the middle-faulting area, then the report.
    EXPECT_EQ(t.size(), 7u + 3996 / 32 + 1);
    EXPECT_EQ(t.back().rfind("XTRACE F: [XTESTDPF: middle] #### BAD POINTER (", 0), 0u) << t.back();
    for (const auto &s : sharedTexts(h)) EXPECT_NE(s.rfind("XTESTDPX", 0), 0u) << "criteria X reached the shared ring";
}

TEST(Fetch, LineFormatAndBufferFit) {
    TRACE_HDR *h = freshRings();
    std::vector<char> buf(4096, 'z');
    unsigned fetched = 99;
    SPRET rc = -5;
    EXPECT_EQ(xtr_fetch(buf.data(), 64, 64, &fetched, &rc), 0);  // an empty ring
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(buf, std::vector<char>(4096, '\0'));

    // Entries written by hand: another process's, with a known stamp.
    const char *text = "XTESTFTF: fourteen!";
    xtr::ringInsert(xtr::RingRef{&h->begin, &h->end, h->pbuffer, XTR_RING_SIZE, h}, text, 19,
                    xtr::Stamp{0x4D2, 0x4D3, 7, 5});
    ASSERT_EQ(xtr_fetch(buf.data(), 1, 4096, &fetched, &rc), 0);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(std::string(buf.data()), std::string("0000000007.000005 000004D2:000004D3 ") + text);
    const size_t lineSize = 19 + 24 + 13;

    xtr::ringInsert(xtr::RingRef{&h->begin, &h->end, h->pbuffer, XTR_RING_SIZE, h}, text, 19,
                    xtr::Stamp{0x4D2, 0x4D3, 1000000000, 42});
    std::vector<char> exact(2 * lineSize, 'z');
    EXPECT_EQ(xtr_fetch(exact.data(), 1, static_cast<unsigned>(exact.size()), &fetched, &rc), 0);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(exact.back(), '\0');
    EXPECT_EQ(lines(exact)[1].substr(0, 18), "1000000000.000042 ");
    std::vector<char> short1(2 * lineSize - 1);
    EXPECT_EQ(xtr_fetch(short1.data(), 1, static_cast<unsigned>(short1.size()), &fetched, &rc), 0);
    EXPECT_EQ(fetched, 1u);  // one byte short skips the oldest whole
    EXPECT_EQ(lines(short1)[0].substr(0, 10), "1000000000");
    std::vector<char> tiny(lineSize - 1);
    EXPECT_EQ(xtr_fetch(tiny.data(), 1, static_cast<unsigned>(tiny.size()), &fetched, &rc), 0);
    EXPECT_EQ(fetched, 0u);
    char four[4];
    EXPECT_EQ(xtr_fetch(four, 0, 0, &fetched, &rc), 0);  // size 0: accepted, nothing written
    EXPECT_EQ(fetched, 0u);

    EXPECT_EQ(xtr_fetch(nullptr, 1, 64, &fetched, &rc), 2);
    EXPECT_EQ(rc, 1);
    rc = 0;
    EXPECT_EQ(xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 1, &rc), 2);
    EXPECT_EQ(rc, 2);
}

TEST(Fetch, StopsAtTheCallersLastEntryAndFilters) {
    TRACE_HDR *h = freshRings();
    xtr_trace("XTESTFTF: mine 1");
    xtr_trace("XTESTFTF: mine 2");
    xtr::ringInsert(xtr::RingRef{&h->begin, &h->end, h->pbuffer, XTR_RING_SIZE, h}, "XTESTFTF: theirs", 16,
                    xtr::Stamp{1, 1, 1, 1});
    std::vector<char> buf(8192);
    unsigned fetched = 0;
    SPRET rc = 0;
    ASSERT_EQ(xtr_fetch(buf.data(), 1, 8192, &fetched, &rc), 0);
    Texts got = lines(buf);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].substr(36), "XTESTFTF: mine 2");

    ASSERT_EQ(xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 0, &rc), 0);
    EXPECT_EQ(lines(buf).size(), 3u);  // every process
    ASSERT_EQ(xtr_fetch_pid_tid(buf.data(), buf.size(), 1, 0, 0, &rc), 0);
    EXPECT_EQ(lines(buf), Texts{"0000000001.000001 00000001:00000001 XTESTFTF: theirs"});

    xtr_trace("XTESTFTD: detail");  // own ring only
    ASSERT_EQ(xtr_fetch_pid(buf.data(), buf.size(), &rc), 0);
    got = lines(buf);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].substr(36), "XTESTFTD: detail");
    char pidtid[32];
    snprintf(pidtid, sizeof pidtid, "%08lX:%08lX", xtr_getpid(), xtr_gettid());
    EXPECT_EQ(got[0].substr(18, 17), pidtid);
    ASSERT_EQ(xtr_fetch_tid(buf.data(), buf.size(), &rc), 0);
    EXPECT_EQ(lines(buf).size(), 3u);
}

TEST(Fetch, DamagedRingsAreRepairedAndWalksEnd) {
    TRACE_HDR *h = freshRings();
    xtr_trace("XTESTFTF: one");
    std::vector<char> buf(4096);
    unsigned fetched = 0;
    SPRET rc = 0;

    h->end = 70000;
    testing::internal::CaptureStdout();
    xtr_fetch(buf.data(), 1, 4096, &fetched, &rc);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fetch: Invalid pxtr_hdr->end=70000\n");
    EXPECT_EQ(h->end, 0u);
    EXPECT_EQ(fetched, 0u);  // begin 0, end 0: empty

    freshRings();
    xtr_trace("XTESTFTF: one");
    xtr_trace("XTESTFTF: two");
    const uint16_t bad = 60000;
    std::memcpy(h->pbuffer + 37, &bad, 2);  // the second entry's length
    testing::internal::CaptureStdout();
    xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 0, &rc);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fetch_pid_tid: Invalid p->length=60000 + i=37\n");
    EXPECT_EQ(lines(buf).size(), 1u);
    EXPECT_EQ(h->end, 37u);

    // A wrap marker at 0 with a non-zero end would send a walk round for ever.
    freshRings();
    h->begin = 0;
    h->end = 500;
    std::memset(h->pbuffer, 0, 2);
    testing::internal::CaptureStdout();
    xtr_fetch(buf.data(), 1, 4096, &fetched, &rc);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fetch: Invalid p->length=0 + i=0\n");
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(h->end, 0u);
}

TEST(Fetch, EntriesAcrossTheWrapComeInRingOrder) {
    TRACE_HDR *h = freshRings();
    h->begin = h->end = h->oldest = 65400;
    for (int i = 0; i < 6; i++) xtr_trace("XTESTFTF: entry %d of the wrap test", i);
    ASSERT_LT(h->end, h->begin);
    std::vector<char> buf(8192);
    SPRET rc = 0;
    ASSERT_EQ(xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 0, &rc), 0);
    Texts got = lines(buf);
    ASSERT_EQ(got.size(), 6u);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(got[i].substr(36), "XTESTFTF: entry " + std::to_string(i) + " of the wrap test");
}

}  // namespace

namespace {

// The shared ring decoded here, independently of the facility's own walk and
// line builder, into the lines a fetch must deliver.
Texts decodeSharedRing(const TRACE_HDR *h) {
    Texts out;
    uint32_t pos = h->begin;
    for (int guard = 0; pos != h->end && guard < 100000; guard++) {
        uint16_t length;
        std::memcpy(&length, h->pbuffer + pos, 2);
        if (length == 0) {
            pos = 0;
            continue;
        }
        uint32_t pid, tid, time, usecs;
        std::memcpy(&pid, h->pbuffer + pos + 4, 4);
        std::memcpy(&tid, h->pbuffer + pos + 8, 4);
        std::memcpy(&time, h->pbuffer + pos + 12, 4);
        std::memcpy(&usecs, h->pbuffer + pos + 16, 4);
        char head[64];
        std::snprintf(head, sizeof head, "%010u.%06u %08X:%08X ", time, usecs % 1000000, pid, tid);
        out.push_back(head + std::string(reinterpret_cast<const char *>(h->pbuffer + pos + 20), length - 24));
        pos += length;
    }
    return out;
}

TEST(Fetch, MatchesAnIndependentDecodeAfterAMixedWorkload) {
    TRACE_HDR *h = freshRings();
    std::vector<pid_t> children;
    for (int p = 0; p < 3; p++) {
        pid_t child = fork();
        if (child == 0) {
            std::vector<std::thread> threads;
            for (int t = 0; t < 2; t++) {
                threads.emplace_back([p, t] {
                    static const unsigned char bytes[40] = {0xDE, 0xAD};
                    for (int i = 0; i < 300; i++) {
                        xtr_trace("XTESTMXF: process %d thread %d call %d", p, t, i);
                        if (i % 50 == 0) xtr_dump_bytes("XTESTMXF: dump", bytes, 40);
                    }
                });
            }
            for (auto &th : threads) th.join();
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t c : children) {
        int ws = 0;
        ASSERT_EQ(waitpid(c, &ws, 0), c);
        ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    }
    const Texts expected = decodeSharedRing(h);
    ASSERT_GT(expected.size(), 500u);  // the ring has wrapped and dropped the oldest
    std::vector<char> buf(200000);
    SPRET rc = 0;
    ASSERT_EQ(xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 0, &rc), 0);
    EXPECT_EQ(lines(buf), expected);
}

}  // namespace

namespace {

// A header whose event id names the lock set, with a live reader
// registered: posting the event would release the lock under the writer,
// and a release that waits would then never return.
TEST(HostileHeader, EventIdNamingTheLockSetHangsNothing) {
    TRACE_HDR *h = freshRings();
    const TRACE_HDR saved = *h;
    h->uEventSem = h->uBufferLock;
    h->cont = 1;
    h->pid = getpid();
    h->count = 150;
    for (int i = 0; i < 5; i++) xtr_trace("XTESTHHF: call %d", i);
    xtr_dump_bytes("XTESTHHF:", "abcd", 4);
    EXPECT_EQ(xtr_lock_buf(), 0);  // the lock is free again afterwards
    EXPECT_EQ(xtr_unlock_buf(), 0);
    EXPECT_EQ(xtr_unlock_buf(), -1);  // releasing a free lock fails at once
    EXPECT_EQ(privateRingTexts().size(), 6u);
    *h = saved;
}

}  // namespace
