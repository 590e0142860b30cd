// Helpers of the shared-buffer tests.  Every case that arms the facility runs
// in a forked child that first enters an IPC namespace of its own
// (testsupport::isolated), so the child is the first traced process of its
// machine and everything it creates disappears with it.  The gtest process
// itself never calls xtr_*.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kbvdtrac.h"
#include "ring.h"
#include "testsupport.h"
#include "trace_testing.h"

#if defined(__SANITIZE_THREAD__)
#define XTR_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define XTR_UNDER_TSAN 1
#endif
#endif

namespace xtr::testing {

using testsupport::exitedCleanly;
using testsupport::isolated;
using testsupport::kNobody;
using testsupport::reap;
using testsupport::spawn;
using testsupport::spawnAsNobody;
using testsupport::waitUntil;

// The shared header attached by the unprivileged user, without the
// facility: what any local process can write.
inline void asNobodyOnHeader(const std::function<void(TRACE_HDR *)> &write) {
    const pid_t pid = spawnAsNobody([&] {
        const int id = shmget(XTR_SHM_KEY, 0, 0);
        void *at = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
        ASSERT_NE(at, reinterpret_cast<void *>(-1)) << "the segment is not writable by everyone";
        write(static_cast<TRACE_HDR *>(at));
        shmdt(at);
    });
    EXPECT_TRUE(exitedCleanly(reap(pid)));
}

// A one-byte signal between two processes.
struct Gate {
    int fd[2] = {-1, -1};
    Gate() { EXPECT_EQ(pipe(fd), 0); }
    ~Gate() {
        close(fd[0]);
        close(fd[1]);
    }
    void open() const { EXPECT_EQ(write(fd[1], "x", 1), 1); }
    void pass() const {
        char c;
        EXPECT_EQ(read(fd[0], &c, 1), 1);
    }
};

// A process that takes the buffer lock, as the unprivileged user when
// asked, and holds it until letGo() (callable from any process that
// inherited the holder) or until it is killed.
class LockHolder {
public:
    explicit LockHolder(bool hostile = false) {
        auto hold = [this] {
            const bool locked = xtr_lock_buf() == 0;
            EXPECT_TRUE(locked) << "the holder could not take the lock";
            held_.open();
            if (!locked) return;
            release_.pass();
            EXPECT_EQ(xtr_unlock_buf(), 0);
        };
        pid_ = hostile ? spawnAsNobody(hold) : spawn(hold);
        held_.pass();
    }
    void letGo() const { release_.open(); }
    // True when the holder let go of the lock and ended without a failure.
    bool endedCleanly() const { return exitedCleanly(reap(pid_)); }
    // Kills the holder with the lock held; true when SIGKILL ended it.
    bool killed() const {
        kill(pid_, SIGKILL);
        const int ws = reap(pid_);
        EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL) << "holder wait status " << ws;
        return WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL;
    }

private:
    Gate held_, release_;
    pid_t pid_ = -1;
};

// Forks `procs` writer processes that start together, each running
// write(p, t) in `threads` threads of its own and then, once they have
// ended, check(p).  Returns the writers' pids, writer p at index p.
inline std::vector<pid_t> startWriters(int procs, int threads, const std::function<void(int, int)> &write,
                                       const std::function<void(int)> &check) {
    Gate start;
    std::vector<pid_t> pids;
    for (int p = 0; p < procs; p++) {
        pids.push_back(spawn([&, p] {
            start.pass();
            std::vector<std::thread> running;
            for (int t = 0; t < threads; t++) running.emplace_back(write, p, t);
            for (auto &th : running) th.join();
            check(p);
        }));
    }
    for (int p = 0; p < procs; p++) start.open();
    return pids;
}

// Redirects standard output into a memory file until take().
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = dup(1);
        file_ = memfd_create("stdout", 0);
        dup2(file_, 1);
    }
    ~StdoutCapture() { take(); }
    std::string take() {
        if (file_ < 0) return {};
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(file_, buf, sizeof buf, at)) > 0; at += n) out.append(buf, n);
        close(file_);
        file_ = -1;
        return out;
    }

private:
    int saved_ = -1, file_ = -1;
};

// Traces a format that is only known at run time (the bad-pointer cases).
inline void traceUnchecked(const char *fmt) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    xtr_trace(fmt);
#pragma GCC diagnostic pop
}

struct Entry {
    MSG head;
    std::string text;
};

// Walks a ring from begin to end and checks every entry on the way: a text
// of exactly length - 24 characters followed by its NUL, and a walk that
// arrives exactly at `end` (a torn or misplaced entry stops it short).
inline std::vector<Entry> checkedEntries(uint32_t begin, uint32_t end, const unsigned char *buf, uint32_t size) {
    std::vector<Entry> all;
    EXPECT_LE(begin, size);
    EXPECT_LE(end, size);
    uint32_t next = begin;
    walkRing(buf, size, begin, end, [&](const MSG &m, std::string_view t) {
        const auto at =
            static_cast<uint32_t>(reinterpret_cast<const unsigned char *>(t.data()) - buf) - XTR_MSG_HDR_LEN;
        EXPECT_EQ(t.find('\0'), std::string_view::npos) << "entry at " << at;
        EXPECT_EQ(buf[at + XTR_MSG_HDR_LEN + t.size()], '\0') << "entry at " << at;
        next = at + m.length;
        all.push_back({m, std::string(t)});
    });
    if (!all.empty()) {
        EXPECT_EQ(next, end) << "the walk stopped short of end";
    }
    return all;
}

// The entries of the shared ring, each checked as above.
inline std::vector<Entry> sharedEntries() {
    const TRACE_HDR *h = xtr_get_hdr();
    if (h == nullptr) return {};
    return checkedEntries(h->begin, h->end, h->pbuffer, XTR_RING_SIZE);
}

inline std::vector<std::string> sharedTexts() {
    std::vector<std::string> texts;
    for (const Entry &e : sharedEntries()) texts.push_back(e.text);
    return texts;
}

inline int semValue(unsigned id) { return semctl(static_cast<int>(id), 0, GETVAL); }
inline int semZeroWaiters(unsigned id) { return semctl(static_cast<int>(id), 0, GETZCNT); }

// Sets a template of the attached header; xtr_build_control_information
// then derives the selection fields from it.
inline void setTemplate(int i, const char *tc7, const char *criteria4, uint32_t pid = 0, uint32_t tid = 0) {
    TEMPLATE &t = xtr_get_hdr()->template_[i];
    std::memcpy(t.tc, tc7, 7);
    std::memcpy(t.criteria, criteria4, 4);
    t.pid = pid;
    t.tid = tid;
}

inline void clearTemplates() {
    for (int i = 0; i < XTR_TEMPLATES; i++) setTemplate(i, "       ", "    ");
}

}  // namespace xtr::testing
