// Fuzzes the hosts-file line rules: each input is a random hosts file and an
// operation; the command rewrites a real file in a temporary directory and
// the result is compared with a small model of the rules written here from
// their description (not from the command's code):
//
//   - a line is everything up to and including a newline (the last one may
//     lack it); its end is the newline and a carriage return right before
//     it (or ending a last line without one); the rest is read as text that
//     a NUL byte ends;
//   - a line whose first character other than blanks and tabs is "#" is a
//     comment: it has no words;
//   - the first word is the address, the second the host name; words are
//     separated by blanks and tabs; the rest of the line starts right after
//     the one character that ended the second word and runs to the line
//     end; it is absent when empty;
//   - update: the first line with the address (exact) or the name (ASCII
//     letter case ignored) is kept when it has both, else rewritten to
//     "ADDRESS NAME REST" and the line's own end (CR LF or LF); later such
//     lines are dropped; with no such line,
//     "ADDRESS NAME\n" is appended, on a line of its own;
//   - remove: every line with two words whose second word is the name
//     (letter case ignored) is dropped; all else is copied byte for byte.
//
// Input: byte 0 selects the operation (bit 0: remove) and how the arguments
// are picked; then the address and the name, each up to a NUL (an empty one
// is taken from the file's words); the rest is the hosts file.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vorqManageHostsFile.h"

namespace {

std::string gDir;
std::string gFile;

bool isSep(char c) { return c == ' ' || c == '\t'; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool sameIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

struct Parsed {
    std::vector<std::string> words;  // at most two
    bool hasRest = false;
    std::string rest;
    bool crlf = false;
};

// Reads a line the way the rules describe, character by character.
Parsed parse(const std::string &line) {
    Parsed r;
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
        r.crlf = true;
    }
    text = text.substr(0, text.find('\0'));  // a NUL ends the text
    const size_t first = text.find_first_not_of(" \t");
    if (first != std::string::npos && text[first] == '#') return r;
    size_t i = 0;
    bool endedByChar = false;
    while (r.words.size() < 2) {
        while (i < text.size() && isSep(text[i])) i++;
        if (i >= text.size()) return r;
        std::string w;
        while (i < text.size() && !isSep(text[i])) w += text[i++];
        r.words.push_back(w);
        endedByChar = i < text.size();
        if (endedByChar) i++;  // the character that ended the word
    }
    if (endedByChar && i < text.size()) {
        r.hasRest = true;
        r.rest = text.substr(i);
    }
    return r;
}

std::vector<std::string> splitLines(const std::string &content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        size_t end = nl == std::string::npos ? content.size() : nl + 1;
        lines.push_back(content.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string modelUpdate(const std::string &content, const std::string &name, const std::string &addr) {
    std::string out;
    bool found = false;
    for (const std::string &line : splitLines(content)) {
        Parsed p = parse(line);
        if (p.words.size() < 2) {
            out += line;
            continue;
        }
        const bool a = p.words[0] == addr;
        const bool h = sameIgnoringCase(p.words[1], name);
        if (!a && !h) {
            out += line;
        } else if (!found) {
            found = true;
            out += (a && h) ? line
                            : addr + " " + name + " " + (p.hasRest ? p.rest : std::string()) + (p.crlf ? "\r\n" : "\n");
        }
    }
    if (!found) {
        if (!out.empty() && out.back() != '\n') out += "\n";
        out += addr + " " + name + "\n";
    }
    return out;
}

std::string modelRemove(const std::string &content, const std::string &name) {
    std::string out;
    for (const std::string &line : splitLines(content)) {
        Parsed p = parse(line);
        if (p.words.size() == 2 && sameIgnoringCase(p.words[1], name)) continue;
        out += line;
    }
    return out;
}

bool writeFile(const std::string &path, const std::string &content) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && ok;
}

std::string readFile(const std::string &path) {
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) __builtin_trap();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

// A word of the file (any line's first or second), or a fixed fallback.
std::string pickWord(const std::string &content, unsigned which, const char *fallback) {
    std::vector<std::string> words;
    for (const std::string &line : splitLines(content))
        for (const std::string &w : parse(line).words) words.push_back(w);
    if (words.empty()) return fallback;
    return words[which % words.size()];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Trace calls arm the facility: keep its segment out of the machine's.
    if (unshare(CLONE_NEWIPC) != 0) {
        std::perror("unshare(CLONE_NEWIPC)");
        std::abort();
    }
    // In memory when possible: every rewrite syncs its file.
    char tmpl[] = "/dev/shm/hosts_rules_fuzz.XXXXXX";
    char fallback[] = "/tmp/hosts_rules_fuzz.XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (dir == nullptr) dir = mkdtemp(fallback);
    if (dir == nullptr) std::abort();
    gDir = dir;
    gFile = gDir + "/hosts";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const unsigned sel = data[0];
    size_t pos = 1;
    auto field = [&]() {
        std::string s;
        while (pos < size && data[pos] != 0) s += static_cast<char>(data[pos++]);
        if (pos < size) pos++;
        return s;
    };
    std::string addr = field();
    std::string name = field();
    const std::string content(reinterpret_cast<const char *>(data) + pos, size - pos);
    // Empty arguments are refused before the rules run: take words of the
    // file instead, so that matches are common.
    if (addr.empty()) addr = pickWord(content, sel >> 1, "10.0.0.5");
    if (name.empty()) name = pickWord(content, sel >> 4, "myhost");
    // The command refuses arguments that would not stay one word of an entry.
    for (const std::string *arg : {&addr, &name}) {
        for (const char c : *arg) {
            if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f || c == '#') return 0;
        }
    }
    if (sel & 0x40) {  // flip the letter case of the name now and then
        for (char &c : name)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }

    if (!writeFile(gFile, content)) std::abort();
    const bool remove = sel & 1;
    const int rc = remove ? hostscmd::removeHostFromHostsFile(gFile.c_str(), name.c_str())
                          : hostscmd::updateHostsFile(gFile.c_str(), name.c_str(), addr.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "rule returned %d\n", rc);
        __builtin_trap();
    }
    const std::string got = readFile(gFile);
    const std::string want = remove ? modelRemove(content, name) : modelUpdate(content, name, addr);
    if (got != want) {
        std::fprintf(stderr, "mismatch: %s name=[%s] addr=[%s]\n--- got (%zu bytes)\n%s\n--- want (%zu bytes)\n%s\n",
                     remove ? "remove" : "update", name.c_str(), addr.c_str(), got.size(), got.c_str(), want.size(),
                     want.c_str());
        __builtin_trap();
    }
    return 0;
}
