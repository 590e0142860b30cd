// A traced process for the tests and the benchmark of xtrctl: writes trace
// points through the facility, holds the buffer attached, or writes chosen
// values (or garbage) into the shared header as a careless process might.
//
//   trace PREFIX COUNT [PAD]   COUNT trace points "PREFIX seq=N xxx..."
//   text PREFIX TEXT           one trace point PREFIX followed by TEXT
//   poke FIELD=VALUE...        set header fields; garbage=SEED scrambles the ring;
//                              tcN=HEX sets template N's 7 id bytes, eyecatcher=HEX
//   raw [@SECONDS] HEX...      appends entries with these text bytes straight into
//                              the ring, as any process could (NULs included), stamped
//                              SECONDS (default 1000000000) and 42, 43, ... microseconds
//   fetch                      the lines xtr_fetch_pid_tid and xtr_fetch give, one a line
//   hold                       stay attached until a signal ends the process
//   holdlock                   take the buffer lock and keep it until killed
//   deadpid                    print the id of a process that has ended
//   fetchbench ROUNDS          time the facility's fetch of the whole ring
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kbvdtrac.h"
#include "ringwalk.h"

namespace {

std::string unhex(const std::string &h) {
    std::string b;
    for (size_t i = 0; i + 1 < h.size(); i += 2) b += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return b;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void traceRuntime(const std::string &format, int seq, const char *arg) {
    if (format.size() > 7 && format[7] == 'T') {
        xtr_trace(format.c_str());  // entry and exit points are recorded unformatted
    } else if (arg != nullptr) {
        xtr_trace(format.c_str(), arg);
    } else {
        xtr_trace(format.c_str(), seq);
    }
}
#pragma GCC diagnostic pop

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int trace(const char *prefix, long count, long pad) {
    TRACE_HDR *h = xtr::armWithoutTracing();
    if (h == nullptr) return 3;
    const std::string format = std::string(prefix) + " seq=%d " + std::string(static_cast<size_t>(pad), 'x');
    long paced = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; i++) {
        // A point counts as paced when a priority reader was registered and
        // the call took as long as the facility's pause.
        const bool reader = h->cont != 0 && h->priority != 0;
        const auto before = std::chrono::steady_clock::now();
        traceRuntime(format, static_cast<int>(i), nullptr);
        if (reader && seconds(before) >= 0.9e-6 * xtr::kWriterPauseMicros) paced++;
    }
    const double s = seconds(start);
    std::printf("written=%ld paced=%ld seconds=%.6f rate=%.0f\n", count, paced, s, s > 0 ? count / s : 0.0);
    return 0;
}

int poke(int argc, char **argv) {
    TRACE_HDR *h = xtr::armWithoutTracing();
    if (h == nullptr) return 3;
    if (xtr_lock_buf() != 0) return 3;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        if (eq == std::string::npos) return 2;
        const std::string f = a.substr(0, eq);
        const long long v = std::strtoll(a.c_str() + eq + 1, nullptr, 0);
        if (f == "pid") h->pid = static_cast<int32_t>(v);
        else if (f == "cont") h->cont = static_cast<uint16_t>(v);
        else if (f == "cont_running") h->cont_running = static_cast<uint16_t>(v);
        else if (f == "priority") h->priority = static_cast<char>(v);
        else if (f == "count") h->count = static_cast<uint32_t>(v);
        else if (f == "begin") h->begin = static_cast<uint32_t>(v);
        else if (f == "end") h->end = static_cast<uint32_t>(v);
        else if (f == "oldest") h->oldest = static_cast<uint32_t>(v);
        else if (f == "lost_msg") h->lost_msg = static_cast<uint32_t>(v);
        else if (f == "lock_sem") h->uBufferLock = static_cast<uint32_t>(v);
        else if (f == "event_sem") h->uEventSem = static_cast<uint32_t>(v);
        else if (f.rfind("tc", 0) == 0 && f.size() == 3) {
            const std::string b = unhex(a.substr(eq + 1));
            std::memcpy(h->template_[f[2] - '0'].tc, b.data(), std::min<size_t>(b.size(), 7));
        } else if (f == "eyecatcher") {
            const std::string b = unhex(a.substr(eq + 1));
            std::memcpy(h->eyecatcher, b.data(), std::min(b.size(), sizeof h->eyecatcher));
        } else if (f == "garbage") {
            std::mt19937 rng(static_cast<unsigned>(v));
            for (auto &b : h->pbuffer) b = static_cast<unsigned char>(rng());
            // Short lengths here and there, so walks run a while first.
            for (uint32_t at = 0; at + 1 < XTR_RING_SIZE; at += 40 + rng() % 400) {
                const uint16_t len = static_cast<uint16_t>(rng() % 600);
                std::memcpy(h->pbuffer + at, &len, sizeof len);
            }
            h->begin = rng() % 70000;
            h->end = rng() % 70000;
            h->oldest = rng() % 70000;
        } else {
            xtr_unlock_buf();
            return 2;
        }
    }
    xtr_unlock_buf();
    return 0;
}

// Appends one entry without the facility: the wrap and discard rules are
// not needed, the tests use it on a ring with room.
int raw(const std::string &text, uint32_t seconds, uint32_t usecs) {
    TRACE_HDR *h = xtr::armWithoutTracing();
    if (h == nullptr || xtr_lock_buf() != 0) return 3;
    const auto length = static_cast<uint16_t>(text.size() + XTR_MSG_OVERHEAD);
    if (h->end > XTR_RING_SIZE || h->end + length > XTR_RING_SIZE ||
        (h->end < h->begin && h->end + length >= h->begin)) {
        xtr_unlock_buf();
        return 3;
    }
    MSG m{length, 0, static_cast<uint32_t>(getpid()), static_cast<uint32_t>(getpid()), seconds, usecs};
    unsigned char *at = h->pbuffer + h->end;
    std::memcpy(at, &m, sizeof m);
    std::memcpy(at + XTR_MSG_HDR_LEN, text.data(), text.size());
    at[XTR_MSG_HDR_LEN + text.size()] = '\0';
    h->end += length;
    h->count++;
    xtr_unlock_buf();
    return 0;
}

// Prints the NUL-ended lines of a fetch buffer, one a line, as a reader
// that finds lines by their NULs does.
void printLines(const char *what, const std::vector<char> &buf) {
    std::printf("%s\n", what);
    for (size_t at = 0; at < buf.size() && buf[at] != '\0'; at += std::strlen(buf.data() + at) + 1) {
        std::printf("%s\n", buf.data() + at);
    }
}

int fetch() {
    if (xtr::armWithoutTracing() == nullptr) return 3;
    std::vector<char> buf(2 * XTR_RING_SIZE);
    SPRET rc = 0;
    if (xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 0, &rc) != 0) return 3;
    printLines("fetch_pid_tid", buf);
    unsigned n = 0;
    if (xtr_fetch(buf.data(), 2, XTR_RING_SIZE, &n, &rc) != 0) return 3;
    printLines("fetch", buf);
    std::printf("fetched=%u\n", n);
    return 0;
}

int fetchbench(long rounds) {
    if (xtr::armWithoutTracing() == nullptr) return 3;
    std::vector<char> buf(2 * XTR_RING_SIZE);
    long lines = 0;
    SPRET rc = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long r = 0; r < rounds; r++) {
        xtr_fetch_pid_tid(buf.data(), buf.size(), 0, 0, 0, &rc);
        if (r == 0) {
            for (size_t at = 0; at < buf.size() && buf[at] != '\0'; at += std::strlen(buf.data() + at) + 1) lines++;
        }
    }
    const double s = seconds(start);
    std::printf("lines=%ld rounds=%ld seconds=%.6f entries_per_s=%.0f\n", lines, rounds, s,
                s > 0 ? lines * rounds / s : 0.0);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "trace" && argc >= 4) return trace(argv[2], std::atol(argv[3]), argc > 4 ? std::atol(argv[4]) : 0);
    if (cmd == "text" && argc == 4) {
        if (xtr::armWithoutTracing() == nullptr) return 3;
        const std::string prefix = argv[2];
        if (prefix.size() > 7 && prefix[7] == 'T') {
            traceRuntime(prefix + argv[3], 0, nullptr);
        } else {
            traceRuntime(prefix + "%s", 0, argv[3]);
        }
        return 0;
    }
    if (cmd == "poke") return poke(argc - 2, argv + 2);
    if (cmd == "hold") {
        if (xtr::armWithoutTracing() == nullptr) return 3;
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) pause();
    }
    if (cmd == "holdlock") {
        if (xtr::armWithoutTracing() == nullptr || xtr_lock_buf() != 0) return 3;
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) pause();
    }
    if (cmd == "deadpid") {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        waitpid(pid, nullptr, 0);
        std::printf("%d\n", static_cast<int>(pid));
        return 0;
    }
    if (cmd == "raw" && argc >= 3) {
        int i = 2;
        uint32_t seconds = 1000000000;
        if (argv[2][0] == '@') seconds = static_cast<uint32_t>(std::stoul(argv[i++] + 1));
        for (uint32_t usecs = 42; i < argc; i++, usecs++) {
            if (const int rc = raw(unhex(argv[i]), seconds, usecs); rc != 0) return rc;
        }
        return 0;
    }
    if (cmd == "fetch") return fetch();
    if (cmd == "fetchbench" && argc == 3) return fetchbench(std::atol(argv[2]));
    std::fprintf(stderr, "usage: xtrctl_test_writer trace|text|poke|hold|holdlock|deadpid|fetchbench ...\n");
    return 2;
}
