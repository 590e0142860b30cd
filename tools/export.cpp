// The timeline export: entries as a Trace Event Format JSON object, which
// timeline viewers open.  One process per pid and one thread per tid, each
// named; each "T: -> NAME" / "T: <- NAME" pair of a thread becomes a
// complete ("X") slice NAME, nested as the calls nest; every other entry,
// and an entry or exit without its partner, is a thread-scoped instant
// ("i") carrying its text, component and criteria.  Times in microseconds.
#include <map>

#include "xtrctl.h"

namespace xtrctl {
namespace {

uint64_t micros(const Entry &e) { return uint64_t{e.time} * 1000000 + e.usecs % 1000000u; }

std::string_view component(std::string_view text) {
    std::string_view c = text.substr(0, 7);
    while (!c.empty() && c.back() == ' ') c.remove_suffix(1);
    return c;
}

std::string_view criteria(std::string_view text) { return text.size() > 7 ? text.substr(7, 1) : std::string_view(); }

std::string_view body(std::string_view text) {
    std::string_view b = text.size() > 9 ? text.substr(9) : std::string_view();
    while (!b.empty() && b.front() == ' ') b.remove_prefix(1);
    return b;
}

// "-> NAME" or "<- NAME" of a T entry: +1 or -1 and the name; 0 otherwise.
int callMark(const Entry &e, std::string_view &name) {
    if (criteria(e.text) != "T") return 0;
    const std::string_view b = body(e.text);
    if (b.size() < 3 || b[2] != ' ' || (b.substr(0, 2) != "->" && b.substr(0, 2) != "<-")) return 0;
    name = b.substr(3);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name.empty()) return 0;
    return b[0] == '-' ? 1 : -1;
}

struct Writer {
    std::string out = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[";
    bool first = true;

    void open(std::string_view ph, uint32_t pid, uint32_t tid, std::string_view name) {
        out += first ? "\n" : ",\n";
        first = false;
        out += "{\"ph\":\"";
        out += ph;
        out += "\",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(tid) + ",\"name\":";
        appendJsonString(out, name);
    }
    void meta(const char *what, uint32_t pid, uint32_t tid, const std::string &name) {
        open("M", pid, tid, what);
        out += ",\"args\":{\"name\":";
        appendJsonString(out, name);
        out += "}}";
    }
    void args(const Entry &e) {
        out += ",\"cat\":";
        appendJsonString(out, component(e.text));
        out += ",\"args\":{\"text\":";
        appendJsonString(out, e.text);
        out += ",\"component\":";
        appendJsonString(out, component(e.text));
        out += ",\"criteria\":";
        appendJsonString(out, criteria(e.text));
        out += '}';
    }
    void instant(const Entry &e) {
        const std::string_view b = body(e.text);
        open("i", e.pid, e.tid, b.empty() ? std::string_view(e.text) : b);
        out += ",\"s\":\"t\",\"ts\":" + std::to_string(micros(e));
        args(e);
        out += '}';
    }
    void slice(const Entry &entry, const Entry &exit, std::string_view name) {
        open("X", entry.pid, entry.tid, name);
        out += ",\"ts\":" + std::to_string(micros(entry)) + ",\"dur\":" + std::to_string(micros(exit) - micros(entry));
        out += ",\"cat\":";
        appendJsonString(out, component(entry.text));
        out += '}';
    }
};

}  // namespace

std::string traceEvents(const std::vector<Entry> &entries) {
    Writer w;
    // Names first: the component each process and thread traced first.
    std::map<uint32_t, std::string> processes;
    std::map<std::pair<uint32_t, uint32_t>, std::string> threads;
    for (const Entry &e : entries) {
        const std::string c(component(e.text));
        processes.emplace(e.pid, c);
        threads.emplace(std::make_pair(e.pid, e.tid), c);
    }
    for (const auto &[pid, c] : processes) w.meta("process_name", pid, 0, "pid " + std::to_string(pid) + " " + c);
    for (const auto &[ids, c] : threads) {
        w.meta("thread_name", ids.first, ids.second, "tid " + std::to_string(ids.second) + " " + c);
    }

    // Per thread, the calls not yet left, innermost last.  An exit closes
    // the innermost open call of its name; calls opened inside it and never
    // left become instants.  An exit with no open call of its name, and a
    // call never left, become instants too.  Slices so always nest.
    struct Open {
        const Entry *entry;
        std::string name;
    };
    std::map<std::pair<uint32_t, uint32_t>, std::vector<Open>> stacks;
    for (const Entry &e : entries) {
        std::string_view name;
        const int mark = callMark(e, name);
        auto &stack = stacks[{e.pid, e.tid}];
        if (mark == 1) {
            stack.push_back({&e, std::string(name)});
            continue;
        }
        if (mark == -1) {
            size_t k = stack.size();
            while (k > 0 && stack[k - 1].name != name) k--;
            if (k > 0 && micros(e) >= micros(*stack[k - 1].entry)) {
                for (size_t j = k; j < stack.size(); j++) w.instant(*stack[j].entry);
                w.slice(*stack[k - 1].entry, e, name);
                stack.resize(k - 1);
                continue;
            }
        }
        w.instant(e);
    }
    for (const auto &[ids, stack] : stacks) {
        for (const Open &o : stack) w.instant(*o.entry);
    }
    w.out += "\n]}\n";
    return w.out;
}

}  // namespace xtrctl
