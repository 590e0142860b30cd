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
    "  show [--from FILE] [FILTERS] [--last N] [--json]\n"
    "      Print the entries of the shared ring, oldest first, as\n"
    "      \"SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text\" lines (ids in hex), or\n"
    "      one JSON object per line.  --last keeps the newest N.  Control\n"
    "      characters in texts are shown as \\xNN, a backslash as \\\\.\n"
    "  export [--from FILE] [FILTERS] [--last N]\n"
    "      Write the entries as a timeline in the Trace Event Format (JSON):\n"
    "      each \"T: -> NAME\" / \"T: <- NAME\" pair becomes a slice NAME, every\n"
    "      other entry an instant event.  xtrctl export > trace.json\n"
    "  save FILE\n"
    "      Write the whole buffer, taken under its lock, to FILE (atomically);\n"
    "      show, status and export read it with --from FILE, anywhere.\n"
    "  follow [--priority] [--json] [--create] [FILTERS] [--syslog[=DEST]]\n"
    "      Register as the buffer's continuous reader and print new entries\n"
    "      as they are recorded, until SIGINT or SIGTERM.  With --priority,\n"
    "      writers pause 1 ms after a trace point while more than 200 entries\n"
    "      wait for the reader.  Reports entries discarded before they were\n"
    "      read on standard error.  --create makes a buffer if none exists.\n"
    "      --syslog sends each entry as an RFC 5424 message instead: DEST is\n"
    "      a unix socket path (default /dev/log), udp://HOST:PORT or\n"
    "      tcp://HOST:PORT.\n"
    "  status [--from FILE] [--json]\n"
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
    "FILTERS (all must hold):\n"
    "  --pid N, --tid N      one process or thread\n"
    "  --component ID        component ids beginning with ID (repeatable: any)\n"
    "  --criteria LETTERS    criteria letters among T F D L, e.g. --criteria TF\n"
    "  --since TIME, --until TIME\n"
    "      entries from / up to TIME (inclusive): seconds since the epoch as\n"
    "      show prints them (1796711363.895056), or ISO 8601\n"
    "      (2026-12-08T10:15:00Z; local time without a zone)\n"
    "\n"
    "show, follow, status and templates never create a buffer; without one\n"
    "they exit with status 3 (follow --create makes one).  template set and\n"
    "template clear create it, with its default templates, when there is none.\n"
    "Ids are decimal, or hexadecimal with 0x (as show prints them: 0x4D2).\n"
    "\n"
    "Exit status: 0 done, 1 nothing to read or nothing found, 2 usage,\n"
    "3 trace buffer not available (absent, unusable, or held), 4 snapshot\n"
    "file unreadable, damaged or not a snapshot (or cannot be written).\n";

// The help names the reader protocol's numbers for the --priority pause.
static_assert(xtr::kWriterPauseMicros == 1000 && xtr::kPauseWriterAbove == 200, "the help says 1 ms and 200");

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
    std::map<std::string, std::string> values;  // option -> value ("" for a flag); the last one given
    std::map<std::string, std::vector<std::string>> all;  // option -> every value given, in order
    bool has(const std::string &o) const { return values.count(o) != 0; }
};

// An option is "--" followed by a letter, so that criteria such as "--  "
// or "-+  " are operands.  Options take a value when listed with a
// trailing '='.
bool isOption(std::string_view a) {
    return a.size() > 2 && a.substr(0, 2) == "--" && std::isalpha(static_cast<unsigned char>(a[2]));
}

bool parseArgs(int argc, char **argv, int first, const std::vector<std::string_view> &known, Args &out,
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
        // "--x=" takes a value, "--x?" may take one after '=', "--x" none.
        bool found = false, takesValue = false, optionalValue = false;
        for (std::string_view k : known) {
            const bool valued = k.back() == '=', optional = k.back() == '?';
            if ((valued || optional ? k.substr(0, k.size() - 1) : k) == name) {
                found = true;
                takesValue = valued;
                optionalValue = optional;
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
        } else if (!takesValue && !optionalValue && inlineValue) {
            error = std::string(name) + " takes no value";
            return false;
        }
        out.values[std::string(name)] = std::string(value);
        out.all[std::string(name)].emplace_back(value);
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

// --- where entries come from: the live buffer or a snapshot ---

// The options every entry-reading command takes.
const std::vector<std::string_view> kEntryOptions = {"--pid=",       "--tid=",      "--last=",  "--json",
                                                     "--component=", "--criteria=", "--since=", "--until="};

bool parseFilter(const Args &a, Filter &f, uint64_t &last, std::string &error) {
    uint64_t pid = 0, tid = 0;
    if (!numberOption(a, "--pid", 1, UINT32_MAX, pid, error) || !numberOption(a, "--tid", 1, UINT32_MAX, tid, error) ||
        !numberOption(a, "--last", 1, UINT32_MAX, last, error)) {
        return false;
    }
    f.pid = static_cast<uint32_t>(pid);
    f.tid = static_cast<uint32_t>(tid);
    if (auto it = a.all.find("--component"); it != a.all.end()) {
        for (const std::string &c : it->second) {
            if (!f.addComponent(c)) {
                error = "--component needs 1 to 7 characters of a component id, not '" + c + "'";
                return false;
            }
        }
    }
    if (a.has("--criteria") && !f.setCriteria(a.values.at("--criteria"))) {
        error = "--criteria needs letters among T, F, D and L, not '" + a.values.at("--criteria") + "'";
        return false;
    }
    const auto timeOption = [&](const char *name, bool &has, uint64_t &micros) {
        if (!a.has(name)) return true;
        has = parseTime(a.values.at(name), micros);
        if (!has) {
            error = std::string(name) + " needs seconds since the epoch or an ISO 8601 time, not '" +
                    a.values.at(name) + "'";
        }
        return has;
    };
    return timeOption("--since", f.hasSince, f.since) && timeOption("--until", f.hasUntil, f.until);
}

// Fills c from --from FILE, or from the live buffer (status 3 without one).
// The live buffer's segment status is read before attaching, so that the
// attached count does not include this process.
bool loadSource(const Args &a, bool clearGone, SegmentCopy &c, int &rc) {
    if (a.has("--from")) {
        std::string error;
        if (!readSnapshot(a.values.at("--from"), c, error)) {
            std::fprintf(stderr, "xtrctl: %s\n", error.c_str());
            rc = kBadFile;
            return false;
        }
        return true;
    }
    const int shmid = existingSegment();
    shmid_ds ds{};
    if (shmid < 0 || shmctl(shmid, IPC_STAT, &ds) != 0) {
        rc = noBuffer();
        return false;
    }
    TRACE_HDR *h = attach();
    if (h == nullptr) {
        rc = noBuffer();
        return false;
    }
    c = liveCopy(h, clearGone);
    c.attached = static_cast<uint32_t>(ds.shm_nattch);
    c.creatorPid = ds.shm_cpid;
    c.createdAt = static_cast<uint64_t>(ds.shm_ctime);
    if (!c.locked) std::fprintf(stderr, "xtrctl: read without the buffer lock\n");
    return true;
}

// The entries the ring holds, from begin to end.  Offsets beyond the ring
// are taken as the facility's retrieval repairs them (end 0, begin 0), so a
// snapshot, the live buffer and the facility's fetch give the same entries.
std::vector<Entry> heldEntries(const TRACE_HDR &h, Walk *walk = nullptr) {
    const uint32_t end = h.end > kRingSize ? 0 : h.end;
    const uint32_t begin = h.begin > kRingSize ? 0 : h.begin;
    std::vector<Entry> all;
    const Walk w = collect(h.pbuffer, begin, end, all);
    if (walk) *walk = w;
    return all;
}

// The entries a reading command works on, filtered, the newest `last`.
// *locked tells whether they were read under the buffer lock.
int selectedEntries(const Args &a, std::vector<Entry> &out, bool *locked) {
    std::string error;
    Filter f;
    uint64_t last = 0;
    if (!parseFilter(a, f, last, error)) return usageError(error);
    if (!a.positional.empty()) return usageError(a.positional[0] + ": this command takes no operand");
    SegmentCopy c;
    int rc = kDone;
    if (!loadSource(a, false, c, rc)) return rc;
    *locked = c.locked;
    Walk w;
    for (Entry &e : heldEntries(*c.hdr, &w)) {
        if (f.matches(e)) out.push_back(std::move(e));
    }
    if (w.damaged)
        std::fprintf(stderr, "xtrctl: damaged ring at offset %u; the entries from there on are not shown\n",
                     w.damageAt);
    if (last != 0 && out.size() > last) out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(last));
    if (out.empty()) {
        std::fprintf(stderr, "xtrctl: no entries\n");
        return kNothing;
    }
    return kDone;
}

int writeOut(const std::string &out) {
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? kDone : kNothing;
}

// --- show, export, save ---

// Entries read without the lock (it was held past the bound) are still
// shown, and the status says so.
int show(const Args &a) {
    std::vector<Entry> entries;
    bool locked = false;
    if (const int rc = selectedEntries(a, entries, &locked); rc != kDone) return rc;
    const bool json = a.has("--json");
    std::string out;
    for (const Entry &e : entries) {
        out += json ? jsonLine(e) : fetchedLine(e);
        out += '\n';
    }
    const int rc = writeOut(out);
    return rc == kDone && !locked ? kUnavailable : rc;
}

int exportTimeline(const Args &a) {
    if (a.has("--json")) return usageError("export always writes JSON; --json is for show and follow");
    std::vector<Entry> entries;
    bool locked = false;
    if (const int rc = selectedEntries(a, entries, &locked); rc != kDone) return rc;
    const int rc = writeOut(traceEvents(entries));
    return rc == kDone && !locked ? kUnavailable : rc;
}

int save(const Args &a) {
    if (a.positional.size() != 1) return usageError("usage: save FILE");
    SegmentCopy c;
    int rc = kDone;
    if (!loadSource(a, false, c, rc)) return rc;
    std::string error;
    if (!saveSnapshot(a.positional[0], c, error)) {
        std::fprintf(stderr, "xtrctl: %s\n", error.c_str());
        return kBadFile;
    }
    Walk w;
    const size_t n = heldEntries(*c.hdr, &w).size();
    std::printf("saved the trace buffer (%zu entries%s) to %s\n", n, w.damaged ? ", damaged ring" : "",
                terminalText(a.positional[0]).c_str());
    return c.locked ? kDone : kUnavailable;
}

// --- status ---

struct Snapshot {
    SegmentCopy copy;
    shmid_ds segment{};
    int shmid = -1;
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

// Whether a process of the copy is running: only the live buffer can say.
const char *runningState(const Snapshot &s, pid_t pid) {
    if (!s.copy.file.empty()) return "at the time of the snapshot";
    return processExists(pid) ? "running" : "gone";
}

void printStatusJson(const Snapshot &s) {
    const TRACE_HDR &h = *s.copy.hdr;
    const bool live = s.copy.file.empty();
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
    if (live) num("creator_alive", processExists(s.segment.shm_cpid));
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
    num("locked", s.copy.locked);
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
    if (live) num("reader_alive", s.copy.reader.state == Reader::Alive);
    num("cleared_reader", s.copy.clearedReader);
    num("cont", h.cont);
    num("cont_running", h.cont_running);
    num("priority", h.priority);
    num("active", h.active);
    str("trace_all", criteriaSet(h.trace_all));
    str("trace_none", criteriaSet(h.trace_none));
    if (!live) {
        str("snapshot", s.copy.file);
        num("taken", static_cast<long long>(s.copy.takenAt));
    }
    o += "}\n";
    std::fputs(o.c_str(), stdout);
}

void printStatusText(const Snapshot &s) {
    const TRACE_HDR &h = *s.copy.hdr;
    if (!s.copy.file.empty()) {
        std::printf("snapshot          %s, taken %s\n", terminalText(s.copy.file).c_str(),
                    isoTime(static_cast<uint32_t>(s.copy.takenAt), 0).substr(0, 19).c_str());
    }
    const bool live = s.copy.file.empty();
    const auto semState = [&](int v, const char *zero, const char *one) {
        if (!live) return std::string("not kept in a snapshot");
        return v < 0 ? std::string("unreadable") : std::to_string(v) + " (" + (v == 0 ? zero : one) + ")";
    };
    if (live) {
        std::printf("segment           key 0x%08X, id %d, %zu bytes, %lu processes attached\n", XTR_SHM_KEY, s.shmid,
                    static_cast<size_t>(s.segment.shm_segsz), static_cast<unsigned long>(s.segment.shm_nattch));
    } else {
        std::printf("segment           key 0x%08X, %zu bytes, %lu processes attached when taken\n", XTR_SHM_KEY,
                    static_cast<size_t>(s.segment.shm_segsz), static_cast<unsigned long>(s.segment.shm_nattch));
    }
    std::printf("creator           pid %d (%s), created %s\n", static_cast<int>(s.segment.shm_cpid),
                runningState(s, s.segment.shm_cpid),
                isoTime(static_cast<uint32_t>(s.segment.shm_ctime), 0).substr(0, 19).c_str());
    std::printf("header            eyecatcher %s, initialised %d\n",
                std::memcmp(h.eyecatcher, "TRACE BUFFER", 13) == 0 ? "ok" : "WRONG", static_cast<int>(h.bInitialized));
    // The facility uses only the sets under the keys; an id in the header
    // that names another set was written by someone else and is never used.
    const auto mismatch = [](uint32_t id, int byKey) {
        return byKey >= 0 && id == static_cast<uint32_t>(byKey)
                   ? ""
                   : "; the header's id does not match the set under the key and is not used";
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
                    !s.copy.file.empty()                   ? "at the time of the snapshot"
                    : s.copy.reader.state == Reader::Alive ? "reading"
                                                           : "not reading");
    }
    std::printf("cont/running/prio %u / %u / %d\n", h.cont, h.cont_running, static_cast<int>(h.priority));
    std::printf("active            %u\n", h.active);
    std::printf("trace_all         %s\n", criteriaSet(h.trace_all).c_str());
    std::printf("trace_none        %s\n", criteriaSet(h.trace_none).c_str());
    if (!s.copy.locked) std::printf("(read without the buffer lock)\n");
}

int status(const Args &a) {
    if (!a.positional.empty()) return usageError("status takes no operand");
    Snapshot s;
    const bool live = !a.has("--from");
    if (live) {
        s.shmid = existingSegment();
        if (s.shmid < 0 || shmctl(s.shmid, IPC_STAT, &s.segment) != 0) return noBuffer();  // before we attach
    }
    int rc = kDone;
    if (!loadSource(a, true, s.copy, rc)) return rc;
    if (!live) {
        s.segment.shm_segsz = sizeof(TRACE_HDR);
        s.segment.shm_nattch = s.copy.attached;
        s.segment.shm_cpid = s.copy.creatorPid;
        s.segment.shm_ctime = static_cast<time_t>(s.copy.createdAt);
    }
    if (s.copy.clearedReader) reportCleared(s.copy.clearedReader);
    const TRACE_HDR &c = *s.copy.hdr;
    heldEntries(c, &s.held);
    std::vector<Entry> unread;
    s.unread = collect(c.pbuffer, c.oldest, c.end, unread);
    if (live) {
        s.lockByKey = semget(static_cast<key_t>(XTR_LOCK_SEM_KEY), 0, 0);
        s.eventByKey = semget(static_cast<key_t>(XTR_EVENT_SEM_KEY), 0, 0);
        s.lockValue = s.lockByKey < 0 ? -1 : semctl(s.lockByKey, 0, GETVAL);
        s.eventValue = s.eventByKey < 0 ? -1 : semctl(s.eventByKey, 0, GETVAL);
    }
    if (a.has("--json")) {
        printStatusJson(s);
    } else {
        printStatusText(s);
    }
    return s.copy.locked ? kDone : kUnavailable;
}

// --- templates ---

void printTemplate(int i, const TEMPLATE &t, unsigned length) {
    if (t.tc[0] == ' ') {
        std::printf("%d  (unused)\n", i);
        return;
    }
    // Template bytes are anyone's to write: they reach the terminal escaped.
    std::string raw(reinterpret_cast<const char *>(t.tc), sizeof t.tc);
    while (!raw.empty() && raw.back() == ' ') raw.pop_back();
    const std::string tc = terminalText(raw);
    std::string marks;
    for (unsigned char c : t.criteria) {
        marks += c == ' ' ? std::string(".") : terminalText(std::string_view(reinterpret_cast<const char *>(&c), 1));
    }
    const auto id = [](uint32_t v) { return v == 0 ? std::string("any") : std::to_string(v); };
    const std::string selects =
        length == 0 ? "every component" : "components beginning with " + terminalText(raw.substr(0, length));
    std::printf("%d  %-9s  %s  %-10s  %-10s  %s\n", i, tc.c_str(), marks.c_str(), id(t.pid).c_str(), id(t.tid).c_str(),
                selects.c_str());
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
bool patternChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '*' || c == ' '; }

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
        if (component[0] == ' ')
            return usageError("component must not start with a blank (that marks a free template)");
        for (char c : component) {
            if (!patternChar(c))
                return usageError("component holds a character other than letters, digits, _ and *: '" + component +
                                  "'");
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
        if (!numberOption(a, "--pid", 0, UINT32_MAX, pid, error) ||
            !numberOption(a, "--tid", 0, UINT32_MAX, tid, error)) {
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
    if (command == "show" || command == "export") {
        std::vector<std::string_view> known(kEntryOptions);
        known.push_back("--from=");
        ok = parseArgs(argc, argv, 2, known, a, error);
        if (!ok) return usageError(error);
        return command == "show" ? show(a) : exportTimeline(a);
    }
    if (command == "save") {
        ok = parseArgs(argc, argv, 2, {}, a, error);
        return ok ? save(a) : usageError(error);
    }
    if (command == "follow") {
        std::vector<std::string_view> known(kEntryOptions);
        known.insert(known.end(), {"--priority", "--create", "--syslog?"});
        ok = parseArgs(argc, argv, 2, known, a, error);
        if (!ok) return usageError(error);
        if (!a.positional.empty()) return usageError("follow takes no operand");
        FollowOptions o{a.has("--priority"), a.has("--json"), a.has("--create"), {}, a.has("--syslog"), {}};
        uint64_t last = 0;
        if (!parseFilter(a, o.filter, last, error)) return usageError(error);
        if (a.has("--last")) return usageError("follow takes no --last");
        if (o.syslog) {
            o.syslogDest = a.values.at("--syslog");
            if (o.json) return usageError("--syslog sends the entries instead of printing them; --json does not apply");
            SyslogSink check;
            if (!check.configure(o.syslogDest, error)) return usageError(error);
        }
        return follow(o);
    }
    if (command == "status") {
        ok = parseArgs(argc, argv, 2, {"--json", "--from="}, a, error);
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
