// Internal pieces of the trace tool xtrctl: entries and their text forms
// (entries.cpp), access to the machine's trace buffer (buffer.cpp) and the
// continuous reader (follow.cpp).  The tool reaches the buffer only through
// the trace facility's exported calls, plus the plain System V calls that
// the facility has no call for (does it exist, who is attached, removal).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kbvdtequ.h"
#include "ringwalk.h"

namespace xtrctl {

// Exit statuses of every subcommand.
enum Status : int {
    kDone = 0,
    kNothing = 1,  // nothing to read, or nothing found to act on
    kUsage = 2,  // bad command line; nothing was changed
    kUnavailable = 3,  // no trace buffer, it cannot be used, or it is held
    kBadFile = 4,  // a snapshot file cannot be read or written, or is not one
};

constexpr uint32_t kRingSize = XTR_RING_SIZE;
constexpr uint32_t kMaxEntry = xtr::kMaxRingEntry;  // longest entry a writer makes

// The base of the types below that own a resource for as long as they live:
// they are neither copied nor assigned.
class Uncopyable {
public:
    Uncopyable(const Uncopyable &) = delete;
    Uncopyable &operator=(const Uncopyable &) = delete;

protected:
    Uncopyable() = default;
    ~Uncopyable() = default;
};

// One trace entry as the tool hands it on.
struct Entry {
    uint32_t time = 0;
    uint32_t usecs = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    std::string text;
};

// --- entries.cpp ---

// "SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text", the facility's fetched line,
// with the text made safe for a terminal (appendTerminalText).
std::string fetchedLine(const Entry &e);

// Appends s so that no byte of it can act on a terminal or start a line:
// every C0 control, DEL and C1 control (a raw byte 0x80-0x9F or its UTF-8
// form) and every byte that is not part of valid UTF-8 becomes \xNN; a
// backslash becomes \\.  Printable ASCII and valid UTF-8 pass through.
void appendTerminalText(std::string &out, std::string_view s);
std::string terminalText(std::string_view s);

// Reads a fetched line back; false when it does not have that form.
bool parseFetchedLine(std::string_view line, Entry &e);

// One JSON object (no line end): time (ISO 8601, UTC, microseconds), pid,
// tid, component, criteria, text.
std::string jsonLine(const Entry &e);

// s as a JSON string with its quotes.  Valid UTF-8 passes through; control
// characters, quotes and backslashes are escaped; a byte that is not part of
// valid UTF-8 becomes \u00XX (read as Latin-1).
void appendJsonString(std::string &out, std::string_view s);

// "1970-01-01T00:00:07.000005Z".
std::string isoTime(uint32_t seconds, uint32_t usecs);

// The entries of a ring between two offsets, by the facility's one ring
// walk (ringwalk.h): the same ring always yields the same entries.
using Walk = xtr::RingWalk;
Walk collect(const unsigned char *ring, uint32_t from, uint32_t end, std::vector<Entry> &out);

// --- buffer.cpp ---

// The segment id under the facility's key, or -1 when there is none.
int existingSegment();

// Attaches this process to the trace buffer through the facility (creating
// it when there is none), recording nothing.  Null when the facility cannot
// arm.  Whatever the facility prints meanwhile goes to standard error.
TRACE_HDR *attach();

// Sends the facility's own messages (damage repairs, arming failures),
// which it writes to standard output, to standard error while alive.
class StdoutToStderr : Uncopyable {
public:
    StdoutToStderr();
    ~StdoutToStderr();

private:
    int saved_ = -1;
};

// The buffer lock, held while alive.  It is the set under the facility's
// lock key, taken with the facility's operations, but waited for at most
// kLockWaitSeconds: any local user can hold it for good.
class BufferLock : Uncopyable {
public:
    BufferLock();
    ~BufferLock();
    [[nodiscard]] bool held() const { return held_; }
    // Says on standard error why the lock was not taken, naming the process
    // that last operated on it.
    void report() const;

private:
    int id_ = -1;
    int error_ = 0;
    bool held_ = false;
};

constexpr int kLockWaitSeconds = 2;

enum class Reader { None, Alive, Gone };

// The registered reader as watched for a moment.  A reader shows that it
// keeps reading by moving its heartbeat (cont_running) or setting count
// back, as `follow` does at least ten times a second.  Its pid is never
// looked up: a reader in another PID namespace is invisible there, and
// anyone may have written the field.
struct ReaderSample {
    int32_t pid = 0;
    uint16_t beat = 0;
    Reader state = Reader::None;
};

// How long sampleReader() watches: several of the follower's rounds.
constexpr int kReaderSampleMillis = 600;

// Watches the header without the lock for up to kReaderSampleMillis; Alive
// as soon as the reader shows progress (or the registration changes).
ReaderSample sampleReader(const TRACE_HDR *h);

// Clears a registration that `sample` found Gone and that has not changed
// since: pid, cont, cont_running and priority.  The caller holds the lock.
// Returns the pid cleared, or 0.
int32_t clearGoneReader(TRACE_HDR *h, const ReaderSample &sample);

// Reports a cleared registration on standard error.
void reportCleared(int32_t pid);

// --- filter.cpp ---

// Seconds since the epoch as show prints them ("1796711363.895056", the
// fraction optional) or an ISO 8601 time ("2026-12-08T10:00:00Z", a date
// alone, a fraction, a zone offset; local time without a zone), as
// microseconds since the epoch.  False when s is neither.
bool parseTime(std::string_view s, uint64_t &micros);

// Which entries are kept.  Every condition set must hold.
struct Filter {
    uint32_t pid = 0, tid = 0;  // 0: any
    std::vector<std::string> components;  // prefixes of the 7-character id; any of them
    std::string criteria;  // letters among T F D L; empty: any
    bool hasSince = false, hasUntil = false;
    uint64_t since = 0, until = 0;  // microseconds, both inclusive

    // A prefix of 1-7 characters (upper-cased; a trailing '*' as in a
    // template means the same); false for anything else.
    bool addComponent(std::string_view prefix);
    // Letters among T F D L (either case); false for anything else.
    bool setCriteria(std::string_view letters);
    [[nodiscard]] bool matches(const Entry &e) const;
};

// --- snapshot.cpp ---

// A copy of the whole segment with what is known about where it came from.
struct SegmentCopy {
    std::unique_ptr<TRACE_HDR> hdr = std::make_unique<TRACE_HDR>();
    bool locked = false;  // copied under the buffer lock
    uint64_t takenAt = 0;  // seconds since the epoch
    uint64_t createdAt = 0;  // of the segment
    int32_t creatorPid = 0;
    uint32_t attached = 0;  // processes attached, the copying one not counted
    int32_t clearedReader = 0;  // a gone reader's registration cleared meanwhile
    ReaderSample reader;  // the registered reader as watched (live, with clearGone)
    std::string file;  // the snapshot file it was read from; empty: live
};

// Copies the live segment `h` under the buffer lock, or without it (saying
// who held it) when the lock cannot be had within its bound.  With
// clearGone, the registered reader is watched first and a registration
// that showed no progress is cleared under the lock.
SegmentCopy liveCopy(TRACE_HDR *h, bool clearGone);

// The snapshot file's bytes, and back.  decodeSnapshot accepts only what
// encodeSnapshot makes (magic, version, size, checksum), else it says why.
std::string encodeSnapshot(const SegmentCopy &c);
bool decodeSnapshot(std::string_view bytes, SegmentCopy &c, std::string &error);

// Writes atomically: a temporary file beside `path`, synced, renamed.
bool saveSnapshot(const std::string &path, const SegmentCopy &c, std::string &error);
// Reads a snapshot file (a regular file only, opened without blocking).
bool readSnapshot(const std::string &path, SegmentCopy &c, std::string &error);

// --- export.cpp ---

// The entries, oldest first, as one Trace Event Format JSON object.
std::string traceEvents(const std::vector<Entry> &entries);

// --- syslog.cpp ---

// The syslog severity of a criteria letter: F notice, L info, T and D debug.
int syslogSeverity(char criteria);

// An entry as an RFC 5424 message (no framing): facility user, the entry's
// own time, APP-NAME xtrctl, PROCID the entry's pid, structured data
// [trace@32473 pid tid component criteria], the text as the terminal sees it.
std::string syslogMessage(const Entry &e, std::string_view host);
std::string syslogLostMessage(uint64_t count, std::string_view host, uint32_t now, std::string_view why);

// Sends messages to a log destination: a unix datagram socket path,
// udp://HOST:PORT or tcp://HOST:PORT (octet-counted).  Connects on demand and
// again after a failure; entries that cannot be sent are counted and
// reported in one message once the destination takes messages again.
class SyslogSink : Uncopyable {
public:
    SyslogSink() = default;
    ~SyslogSink();

    // "" means /dev/log.  False (with the reason) for a malformed DEST.
    bool configure(const std::string &dest, std::string &error);
    void send(const Entry &e);
    // Reports `count` entries the ring discarded before they were read.
    void discarded(uint64_t count);

    uint64_t forwarded = 0, lost = 0;

private:
    bool deliver(const std::string &message);
    bool transmit(const std::string &message);
    bool connectNow();
    bool peerClosed();
    void disconnect();

    std::string dest_, host_, netHost_, netPort_, why_;
    int fd_ = -1;
    bool network_ = false, tcp_ = false, down_ = false;
    uint64_t pendingLost_ = 0;
};

// --- follow.cpp ---

struct FollowOptions {
    bool priority = false;
    bool json = false;
    bool create = false;
    Filter filter;
    bool syslog = false;
    std::string syslogDest;  // "" means /dev/log
};

int follow(const FollowOptions &o);

}  // namespace xtrctl
