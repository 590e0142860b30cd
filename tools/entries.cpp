// Trace entries and their text forms: the facility's fetched line, read and
// written, and the JSON object the tool prints for log shippers.
#include <ctime>

#include <cstdio>

#include "xtrctl.h"

namespace xtrctl {
namespace {

bool allDigits(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool upperHex(std::string_view s, uint32_t &v) {
    v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        v = v << 4 | d;
    }
    return true;
}

uint32_t decimal(std::string_view s) {
    uint64_t v = 0;
    for (char c : s) v = v * 10 + static_cast<unsigned>(c - '0');
    return static_cast<uint32_t>(v);
}

// Length of the valid UTF-8 sequence starting at s[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0.
size_t utf8Length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return n;
}

void appendEscaped(std::string &out, unsigned char c) {
    char u[8];
    std::snprintf(u, sizeof u, "\\u%04x", c);
    out += u;
}

}  // namespace

void appendTerminalText(std::string &out, std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c >= 0x80 ? utf8Length(s, i) : 1;
        // U+0080-U+009F, the C1 controls, are C2 80 to C2 9F in UTF-8.
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
        if (n == 0 || c < 0x20 || c == 0x7F || c1) {
            for (size_t k = 0; k < (n == 0 ? 1 : n); k++) {
                char x[8];
                std::snprintf(x, sizeof x, "\\x%02X", static_cast<unsigned char>(s[i + k]));
                out += x;
            }
            i += n == 0 ? 1 : n;
        } else if (c == '\\') {
            out += "\\\\";
            i++;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
}

std::string terminalText(std::string_view s) {
    std::string out;
    appendTerminalText(out, s);
    return out;
}

std::string fetchedLine(const Entry &e) {
    char head[40];
    std::snprintf(head, sizeof head, "%010u.%06u %08X:%08X ", e.time, e.usecs % 1000000u, e.pid, e.tid);
    std::string line(head);
    appendTerminalText(line, e.text);
    return line;
}

bool parseFetchedLine(std::string_view line, Entry &e) {
    if (line.size() < 36 || line[10] != '.' || line[17] != ' ' || line[26] != ':' || line[35] != ' ') return false;
    if (!allDigits(line.substr(0, 10)) || !allDigits(line.substr(11, 6))) return false;
    if (!upperHex(line.substr(18, 8), e.pid) || !upperHex(line.substr(27, 8), e.tid)) return false;
    e.time = decimal(line.substr(0, 10));
    e.usecs = decimal(line.substr(11, 6));
    e.text.assign(line.substr(36));
    return true;
}

std::string isoTime(uint32_t seconds, uint32_t usecs) {
    // Entries come in bursts within one second: keep the last second's text.
    thread_local uint32_t cachedSeconds = 1;
    thread_local char cached[32] = "1970-01-01T00:00:01";
    if (seconds != cachedSeconds) {
        const time_t t = static_cast<time_t>(seconds);
        tm parts{};
        gmtime_r(&t, &parts);
        std::strftime(cached, sizeof cached, "%Y-%m-%dT%H:%M:%S", &parts);
        cachedSeconds = seconds;
    }
    char out[48];
    std::snprintf(out, sizeof out, "%s.%06uZ", cached, usecs % 1000000u);
    return out;
}

void appendJsonString(std::string &out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const size_t n = utf8Length(s, i);
            if (n == 0) {
                appendEscaped(out, c);
                i++;
            } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
                appendEscaped(out, static_cast<unsigned char>(s[i + 1]));  // a C1 control, U+0080-U+009F
                i += 2;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    appendEscaped(out, c);
                } else {
                    out += static_cast<char>(c);
                }
        }
        i++;
    }
    out += '"';
}

std::string jsonLine(const Entry &e) {
    // The text starts with the trace-point prefix: a component of seven
    // characters (blank padded), the criteria letter and ':'.
    const std::string_view text = e.text;
    std::string_view component = text.substr(0, 7);
    while (!component.empty() && component.back() == ' ') component.remove_suffix(1);
    const std::string_view criteria = text.size() > 7 ? text.substr(7, 1) : std::string_view();
    const std::string_view rest = text.size() > 9 ? text.substr(9) : std::string_view();

    std::string out = "{\"time\":\"" + isoTime(e.time, e.usecs) + "\",\"pid\":" + std::to_string(e.pid) +
                      ",\"tid\":" + std::to_string(e.tid) + ",\"component\":";
    appendJsonString(out, component);
    out += ",\"criteria\":";
    appendJsonString(out, criteria);
    out += ",\"text\":";
    appendJsonString(out, rest);
    out += '}';
    return out;
}

Walk collect(const unsigned char *ring, uint32_t from, uint32_t end, std::vector<Entry> &out) {
    return xtr::walkRing(ring, kRingSize, from, end, [&](const MSG &m, std::string_view text) {
        out.push_back(Entry{m.time, m.usecs, m.pid, m.tid, std::string(text)});
    });
}

}  // namespace xtrctl
