// xtrctl: reads and controls the machine's shared trace buffer.
//
//   show      the entries of the shared ring, as fetched lines or JSON
//   follow    the continuous reader (follow.cpp)
//   status    the header at a glance
//   templates / template set / template clear   the selection templates
//   remove    the segment and its two semaphore sets
//
// Reading commands never create a buffer: the facility creates one on a
// process's first call, so they look for the segment first and report its
// absence with status 3.
#include <sys/sem.h>
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kbvdtrac.h"
#include "xtrctl.h"

using namespace xtrctl;

namespace {

constexpr const char *kHelp =
    "Usage: xtrctl COMMAND [OPTIONS]\n"
    "\n"
    "Reads and controls the machine's shared trace buffer.\n"
    "\n"
    "Commands:\n"
    "  show [--pid N] [--tid N] [--last N] [--json]\n"
    "      Print the entries of the shared ring, oldest first, as\n"
    "      \"SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text\" lines (ids in hex), or\n"
    "      one JSON object per line.  --pid and --tid keep one process or\n"
    "      thread, --last the newest N entries.\n"
    "  follow [--priority] [--json] [--create]\n"
    "      Register as the buffer's continuous reader and print new entries\n"
    "      as they are recorded, until SIGINT or SIGTERM.  With --priority,\n"
    "      writers pause 1 ms after a trace point while more than 200 entries\n"
    "      wait for the reader.  Reports entries discarded before they were\n"
    "      read on standard error.  --create makes a buffer if none exists.\n"
    "  status [--json]\n"
    "      The header at a glance.  Clears the registration of a reader that\n"
    "      no longer reads.\n"
    "  templates\n"
    "      List the ten selection templates.\n"
    "  template set N COMPONENT CRITERIA [--pid P] [--tid T]\n"
    "  template clear N\n"
    "      Edit template N (0-9).  COMPONENT: 1 to 7 characters, the start\n"
    "      of the component ids it selects ('*' or a trailing '*': any).\n"
    "      CRITERIA: four characters for T F D L, each '+' (select), '-'\n"
    "      (exclude) or blank (not named), e.g. \"++  \".  --pid, --tid: only\n"
    "      that process or thread (0: any).\n"
    "  remove [--force]\n"
    "      Remove the buffer and its two semaphore sets; refused while a\n"
    "      process is attached, unless --force.\n"
    "\n"
    "show, follow, status and templates never create a buffer; without one\n"
    "they exit with status 3 (follow --create makes one).  template set and\n"
    "template clear create it, with its default templates, when there is none.\n"
    "Ids are decimal, or hexadecimal with 0x (as show prints them: 0x4D2).\n"
    "\n"
    "Exit status: 0 done, 1 nothing to read or nothing found, 2 usage,\n"
    "3 trace buffer not available (absent, unusable, or held).\n";

int usageError(const std::string &message) {
    std::fprintf(stderr, "xtrctl: %s\nTry 'xtrctl --help'.\n", message.c_str());
    return kUsage;
}

int noBuffer() {
    std::fprintf(stderr, "xtrctl: no trace buffer on this machine\n");
    return kUnavailable;
}

// --- command line ---

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // option -> value ("" for a flag)
    bool has(const std::string &o) const { return values.count(o) != 0; }
};

// An option is "--" followed by a letter, so that criteria such as "--  "
// or "-+  " are operands.  Options take a value when listed with a
// trailing '='.
bool isOption(std::string_view a) { return a.size() > 2 && a.substr(0, 2) == "--" && std::isalpha(static_cast<unsigned char>(a[2])); }

bool parseArgs(int argc, char **argv, int first, std::initializer_list<std::string_view> known, Args &out,
               std::string &error) {
    for (int i = first; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--") {
            for (i++; i < argc; i++) out.positional.emplace_back(argv[i]);
            break;
        }
        if (!isOption(a)) {
            out.positional.emplace_back(a);
            continue;
        }
        std::string_view name = a, value;
        bool inlineValue = false;
        if (const size_t eq = a.find('='); eq != std::string_view::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        bool found = false, takesValue = false;
        for (std::string_view k : known) {
            const bool valued = k.back() == '=';
            if ((valued ? k.substr(0, k.size() - 1) : k) == name) {
                found = true;
                takesValue = valued;
            }
        }
        if (!found) {
            error = "unknown option " + std::string(name);
            return false;
        }
        if (takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!takesValue && inlineValue) {
            error = std::string(name) + " takes no value";
            return false;
        }
        out.values[std::string(name)] = std::string(value);
    }
    return true;
}

// Decimal, or hexadecimal after 0x; at most 32 bits.
bool parseNumber(const std::string &s, uint64_t max, uint64_t &v) {
    int base = 10;
    std::string_view digits = s;
    if (digits.size() > 2 && (digits.substr(0, 2) == "0x" || digits.substr(0, 2) == "0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty() || digits.size() > 20) return false;
    v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > max) return false;
    }
    return true;
}

bool numberOption(const Args &a, const char *name, uint64_t min, uint64_t max, uint64_t &v, std::string &error) {
    auto it = a.values.find(name);
    if (it == a.values.end()) return true;
    if (!parseNumber(it->second, max, v) || v < min) {
        error = std::string(name) + " needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
                ", not '" + it->second + "'";
        return false;
    }
    return true;
}

// --- show ---

int show(const Args &a) {
    std::string error;
    uint64_t pid = 0, tid = 0, last = 0;
    if (!numberOption(a, "--pid", 1, UINT32_MAX, pid, error) || !numberOption(a, "--tid", 1, UINT32_MAX, tid, error) ||
        !numberOption(a, "--last", 1, UINT32_MAX, last, error)) {
        return usageError(error);
    }
    if (!a.positional.empty()) return usageError("show takes no operand");
    if (existingSegment() < 0) return noBuffer();
    if (attach() == nullptr) return noBuffer();

    // A fetch for the caller's own process id reads the caller's own ring,
    // which holds nothing here: for that id, fetch all and filter.
    const bool filterHere = pid != 0 && pid == xtr_getpid();
    // Each line is its entry's length + 13 bytes, entries at least 24: the
    // lines of a full ring fit in twice the ring's size.
    std::vector<char> buf(2 * kRingSize);
    SPRET frc = 0;
    SPRET rc;
    {
        StdoutToStderr quiet;
        rc = xtr_fetch_pid_tid(buf.data(), buf.size(), filterHere ? 0 : pid, tid, 0, &frc);
    }
    if (rc == 2) {
        std::fprintf(stderr, "xtrctl: the trace buffer cannot be read\n");
        return kUnavailable;
    }
    if (rc != 0) std::fprintf(stderr, "xtrctl: the buffer lock could not be taken; read without it\n");

    std::deque<Entry> entries;
    for (size_t at = 0; at < buf.size() && buf[at] != '\0';) {
        const size_t n = strnlen(buf.data() + at, buf.size() - at);
        Entry e;
        // A text with a NUL inside (damage) would leave a fragment: skip it.
        if (parseFetchedLine(std::string_view(buf.data() + at, n), e) && (!filterHere || e.pid == pid)) {
            entries.push_back(std::move(e));
            if (last != 0 && entries.size() > last) entries.pop_front();
        }
        at += n + 1;
    }
    if (entries.empty()) {
        std::fprintf(stderr, "xtrctl: no entries\n");
        return kNothing;
    }
    const bool json = a.has("--json");
    std::string out;
    for (const Entry &e : entries) {
        out += json ? jsonLine(e) : fetchedLine(e);
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? kDone : kNothing;
}

// --- status ---

struct Snapshot {
    shmid_ds segment{};
    int shmid = -1;
    std::unique_ptr<TRACE_HDR> hdr = std::make_unique<TRACE_HDR>();
    bool locked = false;
    int32_t cleared = 0;
    ReaderSample reader;
    Walk held, unread;
    int lockValue = -1, eventValue = -1;
    int lockByKey = -1, eventByKey = -1;
};

std::string criteriaSet(const unsigned char (&flags)[XTR_CRITERIA]) {
    std::string s;
    for (int k = 0; k < XTR_CRITERIA; k++) {
        if (flags[k]) s += "TFDL"[k];
    }
    return s;
}

// Whether the segment's creator still runs (information only; the pid comes
// from the kernel, translated into our PID namespace).
bool processExists(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

void printStatusJson(const Snapshot &s) {
    const TRACE_HDR &h = *s.hdr;
    std::string o = "{";
    const auto num = [&](const char *k, long long v) {
        if (o.size() > 1) o += ',';
        o += '"';
        o += k;
        o += "\":" + std::to_string(v);
    };
    const auto str = [&](const char *k, std::string_view v) {
        o += ",\"";
        o += k;
        o += "\":";
        appendJsonString(o, v);
    };
    num("shmid", s.shmid);
    num("size", static_cast<long long>(s.segment.shm_segsz));
    num("attached", static_cast<long long>(s.segment.shm_nattch));
    num("creator_pid", s.segment.shm_cpid);
    num("creator_alive", processExists(s.segment.shm_cpid));
    num("eyecatcher_ok", std::memcmp(h.eyecatcher, "TRACE BUFFER", 13) == 0);
    num("initialized", h.bInitialized);
    num("lock_sem", h.uBufferLock);
    num("lock_sem_by_key", s.lockByKey);
    num("lock_sem_matches", s.lockByKey >= 0 && h.uBufferLock == static_cast<uint32_t>(s.lockByKey));
    num("lock_value", s.lockValue);
    num("event_sem", h.uEventSem);
    num("event_sem_by_key", s.eventByKey);
    num("event_sem_matches", s.eventByKey >= 0 && h.uEventSem == static_cast<uint32_t>(s.eventByKey));
    num("event_value", s.eventValue);
    num("locked", s.locked);
    num("count", h.count);
    num("lost_msg", h.lost_msg);
    num("begin", h.begin);
    num("end", h.end);
    num("oldest", h.oldest);
    num("ring_bytes", s.held.bytes);
    num("ring_entries", s.held.entries);
    num("ring_damaged", s.held.damaged);
    num("unread_entries", s.unread.entries);
    num("reader_pid", h.pid);
    num("reader_alive", s.reader.state == Reader::Alive);
    num("cleared_reader", s.cleared);
    num("cont", h.cont);
    num("cont_running", h.cont_running);
    num("priority", h.priority);
    num("active", h.active);
    str("trace_all", criteriaSet(h.trace_all));
    str("trace_none", criteriaSet(h.trace_none));
    o += "}\n";
    std::fputs(o.c_str(), stdout);
}

void printStatusText(const Snapshot &s) {
    const TRACE_HDR &h = *s.hdr;
    const auto semState = [](int v, const char *zero, const char *one) {
        return v < 0 ? std::string("unreadable") : std::to_string(v) + " (" + (v == 0 ? zero : one) + ")";
    };
    std::printf("segment           key 0x%08X, id %d, %zu bytes, %lu processes attached\n", XTR_SHM_KEY, s.shmid,
                static_cast<size_t>(s.segment.shm_segsz), static_cast<unsigned long>(s.segment.shm_nattch));
    std::printf("creator           pid %d (%s), created %s\n", static_cast<int>(s.segment.shm_cpid),
                processExists(s.segment.shm_cpid) ? "running" : "gone",
                isoTime(static_cast<uint32_t>(s.segment.shm_ctime), 0).substr(0, 19).c_str());
    std::printf("header            eyecatcher %s, initialised %d\n",
                std::memcmp(h.eyecatcher, "TRACE BUFFER", 13) == 0 ? "ok" : "WRONG", static_cast<int>(h.bInitialized));
    // The facility uses only the sets under the keys; an id in the header
    // that names another set was written by someone else and is never used.
    const auto mismatch = [](uint32_t id, int byKey) {
        return byKey >= 0 && id == static_cast<uint32_t>(byKey) ? "" : "; the header's id does not match the set under the key and is not used";
    };
    std::printf("lock semaphore    id %u (by key: %d), value %s%s\n", h.uBufferLock, s.lockByKey,
                semState(s.lockValue, "free", "held").c_str(), mismatch(h.uBufferLock, s.lockByKey));
    std::printf("event semaphore   id %u (by key: %d), value %s%s\n", h.uEventSem, s.eventByKey,
                semState(s.eventValue, "posted", "reset").c_str(), mismatch(h.uEventSem, s.eventByKey));
    std::printf("count             %u\n", h.count);
    std::printf("lost_msg          %u\n", h.lost_msg);
    std::printf("begin/end/oldest  %u / %u / %u\n", h.begin, h.end, h.oldest);
    std::printf("ring fill         %u of %u bytes (%.1f%%), %u entries, %u not yet taken%s\n", s.held.bytes, kRingSize,
                100.0 * s.held.bytes / kRingSize, s.held.entries, s.unread.entries,
                s.held.damaged ? " (damaged: the walk stopped early)" : "");
    if (h.pid == 0) {
        std::printf("reader            none\n");
    } else {
        std::printf("reader            pid %d (%s)\n", static_cast<int>(h.pid),
                    s.reader.state == Reader::Alive ? "reading" : "not reading");
    }
    std::printf("cont/running/prio %u / %u / %d\n", h.cont, h.cont_running, static_cast<int>(h.priority));
    std::printf("active            %u\n", h.active);
    std::printf("trace_all         %s\n", criteriaSet(h.trace_all).c_str());
    std::printf("trace_none        %s\n", criteriaSet(h.trace_none).c_str());
    if (!s.locked) std::printf("(read without the buffer lock)\n");
}

int status(const Args &a) {
    if (!a.positional.empty()) return usageError("status takes no operand");
    Snapshot s;
    s.shmid = existingSegment();
    if (s.shmid < 0 || shmctl(s.shmid, IPC_STAT, &s.segment) != 0) return noBuffer();  // before we attach
    TRACE_HDR *h = attach();
    if (h == nullptr) return noBuffer();
    s.reader = sampleReader(h);
    {
        BufferLock lock;
        s.locked = lock.held();
        if (s.locked) s.cleared = clearGoneReader(h, s.reader);
        std::memcpy(s.hdr.get(), h, sizeof(TRACE_HDR));
        if (!s.locked) lock.report();
    }
    if (s.cleared) reportCleared(s.cleared);
    const TRACE_HDR &c = *s.hdr;
    s.held = walkRing(c.pbuffer, c.begin, c.end, [](const MSG &, std::string_view) {});
    s.unread = walkRing(c.pbuffer, c.oldest, c.end, [](const MSG &, std::string_view) {});
    s.lockByKey = semget(static_cast<key_t>(XTR_LOCK_SEM_KEY), 0, 0);
    s.eventByKey = semget(static_cast<key_t>(XTR_EVENT_SEM_KEY), 0, 0);
    s.lockValue = s.lockByKey < 0 ? -1 : semctl(s.lockByKey, 0, GETVAL);
    s.eventValue = s.eventByKey < 0 ? -1 : semctl(s.eventByKey, 0, GETVAL);
    if (a.has("--json")) {
        printStatusJson(s);
    } else {
        printStatusText(s);
    }
    return s.locked ? kDone : kUnavailable;
}

// --- templates ---

void printTemplate(int i, const TEMPLATE &t, unsigned length) {
    if (t.tc[0] == ' ') {
        std::printf("%d  (unused)\n", i);
        return;
    }
    std::string tc(reinterpret_cast<const char *>(t.tc), sizeof t.tc);
    while (!tc.empty() && tc.back() == ' ') tc.pop_back();
    std::string marks;
    for (unsigned char c : t.criteria) marks += c == ' ' ? '.' : static_cast<char>(c);
    const auto id = [](uint32_t v) { return v == 0 ? std::string("any") : std::to_string(v); };
    const std::string selects = length == 0 ? "every component"
                                            : "components beginning with " + tc.substr(0, length);
    std::printf("%d  %-9s  %s  %-10s  %-10s  %s\n", i, tc.c_str(), marks.c_str(), id(t.pid).c_str(),
                id(t.tid).c_str(), selects.c_str());
}

void printTemplateHeading() { std::printf("N  COMPONENT  TFDL  PID         TID         SELECTS\n"); }

int listTemplates(const Args &a) {
    if (!a.positional.empty()) return usageError("templates takes no operand");
    if (existingSegment() < 0) return noBuffer();
    TRACE_HDR *h = attach();
    if (h == nullptr) return noBuffer();
    TEMPLATE t[XTR_TEMPLATES];
    unsigned char lengths[XTR_TEMPLATES];
    {
        BufferLock lock;
        if (!lock.held()) {
            lock.report();
            return kUnavailable;
        }
        std::memcpy(t, h->template_, sizeof t);
        std::memcpy(lengths, h->template_length, sizeof lengths);
    }
    printTemplateHeading();
    for (int i = 0; i < XTR_TEMPLATES; i++) printTemplate(i, t[i], lengths[i] > 7 ? 7 : lengths[i]);
    return kDone;
}

bool parseTemplateNumber(const std::string &s, int &n) {
    if (s.size() != 1 || s[0] < '0' || s[0] > '9') return false;
    n = s[0] - '0';
    return true;
}

// The characters of a component pattern: what component ids are made of,
// and '*'.  The facility ends a pattern at the first character outside
// '0'-'Z' (so at '_', '*' or a blank).
bool patternChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '*' || c == ' ';
}

int editTemplate(int argc, char **argv) {
    Args a;
    std::string error;
    if (!parseArgs(argc, argv, 3, {"--pid=", "--tid="}, a, error)) return usageError(error);
    const std::string_view verb = argc > 2 ? argv[2] : "";
    const bool set = verb == "set";
    if (!set && verb != "clear") return usageError("template needs 'set' or 'clear'");
    if (a.positional.size() != (set ? 3u : 1u)) {
        return usageError(set ? "usage: template set N COMPONENT CRITERIA [--pid P] [--tid T]"
                              : "usage: template clear N");
    }
    int n;
    if (!parseTemplateNumber(a.positional[0], n)) {
        return usageError("template number must be 0 to 9, not '" + a.positional[0] + "'");
    }
    TEMPLATE t;
    std::memset(&t, ' ', sizeof t);
    t.pid = t.tid = 0;
    t.pad = 0;
    if (set) {
        const std::string &component = a.positional[1], &criteria = a.positional[2];
        if (component.empty() || component.size() > 7) {
            return usageError("component must be 1 to 7 characters, not '" + component + "'");
        }
        if (component[0] == ' ') return usageError("component must not start with a blank (that marks a free template)");
        for (char c : component) {
            if (!patternChar(c)) return usageError("component holds a character other than letters, digits, _ and *: '" + component + "'");
        }
        if (criteria.size() != XTR_CRITERIA) {
            return usageError("criteria must be 4 characters (T F D L), not '" + criteria + "'");
        }
        for (char c : criteria) {
            if (c != '+' && c != '-' && c != ' ') {
                return usageError("criteria may hold only '+', '-' and blanks, not '" + criteria + "'");
            }
        }
        uint64_t pid = 0, tid = 0;
        if (!numberOption(a, "--pid", 0, UINT32_MAX, pid, error) || !numberOption(a, "--tid", 0, UINT32_MAX, tid, error)) {
            return usageError(error);
        }
        std::memcpy(t.tc, component.data(), component.size());
        std::memcpy(t.criteria, criteria.data(), XTR_CRITERIA);
        t.pid = static_cast<uint32_t>(pid);
        t.tid = static_cast<uint32_t>(tid);
    } else if (a.has("--pid") || a.has("--tid")) {
        return usageError("template clear takes no --pid or --tid");
    }

    // The templates live only in the buffer, so editing one creates it.
    TRACE_HDR *h = attach();
    if (h == nullptr) {
        std::fprintf(stderr, "xtrctl: the trace buffer cannot be attached\n");
        return kUnavailable;
    }
    TEMPLATE now;
    unsigned length;
    {
        BufferLock lock;
        if (!lock.held()) {
            lock.report();
            return kUnavailable;
        }
        std::memcpy(&h->template_[n], &t, sizeof t);
        xtr_build_control_information();
        std::memcpy(&now, &h->template_[n], sizeof now);
        length = h->template_length[n] > 7 ? 7 : h->template_length[n];
    }
    printTemplateHeading();
    printTemplate(n, now, length);
    return kDone;
}

// --- remove ---

int removeBuffer(const Args &a) {
    if (!a.positional.empty()) return usageError("remove takes no operand");
    const int shm = existingSegment();
    const int lockSet = semget(static_cast<key_t>(XTR_LOCK_SEM_KEY), 0, 0);
    const int eventSet = semget(static_cast<key_t>(XTR_EVENT_SEM_KEY), 0, 0);
    if (shm < 0 && lockSet < 0 && eventSet < 0) {
        std::fprintf(stderr, "xtrctl: no trace buffer and no semaphore set to remove\n");
        return kNothing;
    }
    if (shm >= 0) {
        shmid_ds ds{};
        if (shmctl(shm, IPC_STAT, &ds) == 0 && ds.shm_nattch > 0 && !a.has("--force")) {
            std::fprintf(stderr,
                         "xtrctl: %lu processes are attached to the trace buffer (created by pid %d, last used by "
                         "pid %d); nothing removed (--force removes it anyway)\n",
                         static_cast<unsigned long>(ds.shm_nattch), static_cast<int>(ds.shm_cpid),
                         static_cast<int>(ds.shm_lpid));
            return kUnavailable;
        }
    }
    // Only objects found under the facility's keys are removed, never an id
    // read from the segment (anyone may have written it).
    int rc = kDone;
    const auto removed = [&](int ok, const char *what, int id) {
        if (ok == 0) {
            std::printf("removed %s (id %d)\n", what, id);
        } else {
            std::fprintf(stderr, "xtrctl: cannot remove %s (id %d): %s\n", what, id, std::strerror(errno));
            rc = kUnavailable;
        }
    };
    if (shm >= 0) removed(shmctl(shm, IPC_RMID, nullptr), "the trace buffer segment", shm);
    if (lockSet >= 0) removed(semctl(lockSet, 0, IPC_RMID), "the lock semaphore set", lockSet);
    if (eventSet >= 0) removed(semctl(eventSet, 0, IPC_RMID), "the event semaphore set", eventSet);
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command.empty()) return usageError("no command");
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kHelp, stdout);
        return kDone;
    }
    for (int i = 2; i < argc; i++) {
        if (std::string_view(argv[i]) == "--help") {
            std::fputs(kHelp, stdout);
            return kDone;
        }
    }
    if (command == "template") return editTemplate(argc, argv);

    Args a;
    std::string error;
    bool ok;
    if (command == "show") {
        ok = parseArgs(argc, argv, 2, {"--pid=", "--tid=", "--last=", "--json"}, a, error);
        return ok ? show(a) : usageError(error);
    }
    if (command == "follow") {
        ok = parseArgs(argc, argv, 2, {"--priority", "--json", "--create"}, a, error);
        if (!ok) return usageError(error);
        if (!a.positional.empty()) return usageError("follow takes no operand");
        return follow(FollowOptions{a.has("--priority"), a.has("--json"), a.has("--create")});
    }
    if (command == "status") {
        ok = parseArgs(argc, argv, 2, {"--json"}, a, error);
        return ok ? status(a) : usageError(error);
    }
    if (command == "templates") {
        ok = parseArgs(argc, argv, 2, {}, a, error);
        return ok ? listTemplates(a) : usageError(error);
    }
    if (command == "remove") {
        ok = parseArgs(argc, argv, 2, {"--force"}, a, error);
        return ok ? removeBuffer(a) : usageError(error);
    }
    return usageError("unknown command '" + std::string(command) + "'");
}
