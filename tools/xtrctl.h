// Internal pieces of the trace tool xtrctl: entries and their text forms
// (entries.cpp), access to the machine's trace buffer (buffer.cpp) and the
// continuous reader (follow.cpp).  The tool reaches the buffer only through
// the trace facility's exported calls, plus the plain System V calls that
// the facility has no call for (does it exist, who is attached, removal).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kbvdtequ.h"

namespace xtrctl {

// Exit statuses of every subcommand.
enum Status : int {
    kDone = 0,
    kNothing = 1,      // nothing to read, or nothing found to act on
    kUsage = 2,        // bad command line; nothing was changed
    kUnavailable = 3,  // no trace buffer, it cannot be used, or it is held
};

constexpr uint32_t kRingSize = XTR_RING_SIZE;
constexpr uint32_t kMaxEntry = XTR_MSG_OVERHEAD + 512;  // longest entry a writer makes

// One trace entry as the tool hands it on.
struct Entry {
    uint32_t time = 0;
    uint32_t usecs = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    std::string text;
};

// --- entries.cpp ---

// "SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text", the facility's fetched line.
std::string fetchedLine(const Entry &e);

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

// What a walk over a ring found.
struct Walk {
    uint32_t entries = 0;
    uint32_t bytes = 0;
    bool damaged = false;       // stopped at something no writer leaves
    uint32_t damageAt = 0;
};

// Visits the entries of `ring` (kRingSize + 2 bytes) from `from` up to
// `end` in ring order, following a wrap marker only when the range wraps,
// and only once.  Everything read from the ring is bounded first: an offset
// beyond the ring, a length no writer makes, a marker where the range does
// not wrap or a walk that runs past `end` ends it as damage.  Every step
// advances by at least one entry header, so a walk ends, whatever the ring
// holds.
template <class Visit>
Walk walkRing(const unsigned char *ring, uint32_t from, uint32_t end, Visit &&visit) {
    Walk w;
    if (from > kRingSize || end > kRingSize) {
        w.damaged = true;
        w.damageAt = from > kRingSize ? from : end;
        return w;
    }
    const bool wrapsAtStart = from > end;
    bool wrapped = false;
    uint32_t pos = from;
    while (pos != end) {
        const bool pastEnd = (wrapped || !wrapsAtStart) && pos > end;
        uint16_t length;
        std::memcpy(&length, ring + pos, sizeof length);  // pos <= kRingSize: 2 bytes fit
        if (length == 0 && wrapsAtStart && !wrapped && pos != 0) {
            wrapped = true;
            pos = 0;
            continue;
        }
        if (pastEnd || length < XTR_MSG_OVERHEAD || length > kMaxEntry || pos + length > kRingSize) {
            w.damaged = true;
            w.damageAt = pos;
            return w;
        }
        MSG m;
        std::memcpy(&m, ring + pos, sizeof m);
        const char *text = reinterpret_cast<const char *>(ring + pos + XTR_MSG_HDR_LEN);
        visit(m, std::string_view(text, strnlen(text, length - XTR_MSG_OVERHEAD)));
        w.entries++;
        w.bytes += length;
        pos += length;
    }
    return w;
}

// Entries of a ring between two offsets, as walkRing visits them.
Walk collect(const unsigned char *ring, uint32_t from, uint32_t end, std::vector<Entry> &out);

// --- buffer.cpp ---

// The segment id under the facility's key, or -1 when there is none.
int existingSegment();

// Attaches this process to the trace buffer through the facility (creating
// it when there is none).  Null when the facility cannot arm.  Whatever the
// facility prints meanwhile goes to standard error.
TRACE_HDR *attach();

// Sends the facility's own messages (damage repairs, arming failures),
// which it writes to standard output, to standard error while alive.
class StdoutToStderr {
public:
    StdoutToStderr();
    ~StdoutToStderr();
    StdoutToStderr(const StdoutToStderr &) = delete;
    StdoutToStderr &operator=(const StdoutToStderr &) = delete;

private:
    int saved_ = -1;
};

// The buffer lock, held while alive.  It is the set under the facility's
// lock key, taken with the facility's operations, but waited for at most
// kLockWaitSeconds: any local user can hold it for good.
class BufferLock {
public:
    BufferLock();
    ~BufferLock();
    BufferLock(const BufferLock &) = delete;
    BufferLock &operator=(const BufferLock &) = delete;
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

// --- follow.cpp ---

struct FollowOptions {
    bool priority = false;
    bool json = false;
    bool create = false;
};

int follow(const FollowOptions &o);

}  // namespace xtrctl
