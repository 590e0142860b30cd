// Which entries show, follow and export keep: process, thread, component
// prefix, criteria letter and a time window.
#include <cctype>
#include <cstdio>
#include <ctime>

#include "xtrctl.h"

namespace xtrctl {
namespace {

bool digits(std::string_view s, size_t n, int &v) {
    if (s.size() < n) return false;
    v = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    return true;
}

// ".ffffff" (1 to 6 digits, more are ignored) as microseconds; consumes it.
bool fraction(std::string_view &s, uint64_t &micros) {
    micros = 0;
    if (s.empty() || (s[0] != '.' && s[0] != ',')) return true;
    s.remove_prefix(1);
    size_t n = 0;
    uint64_t scale = 100000;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
        if (scale > 0) micros += static_cast<uint64_t>(s[n] - '0') * scale;
        scale /= 10;
        n++;
    }
    s.remove_prefix(n);
    return n > 0;
}

}  // namespace

bool parseTime(std::string_view s, uint64_t &micros) {
    if (s.empty()) return false;
    // Seconds since the epoch, as show prints them: 1796711363[.895056].
    if (s.find_first_not_of("0123456789.") == std::string_view::npos) {
        const size_t dot = s.find('.');
        const std::string_view whole = s.substr(0, dot);
        if (whole.empty() || whole.size() > 11) return false;
        uint64_t secs = 0;
        for (char c : whole) secs = secs * 10 + static_cast<uint64_t>(c - '0');
        std::string_view rest = dot == std::string_view::npos ? std::string_view() : s.substr(dot);
        uint64_t frac;
        if (!fraction(rest, frac) || !rest.empty()) return false;
        micros = secs * 1000000 + frac;
        return true;
    }
    // ISO 8601: YYYY-MM-DD[(T| )hh:mm[:ss[.ffffff]]][Z|(+|-)hh[:]mm].
    // Without a zone the time is local time.
    tm t{};
    int year, month, day;
    if (!digits(s, 4, year) || s.size() < 10 || s[4] != '-' || !digits(s.substr(5), 2, month) || s[7] != '-' ||
        !digits(s.substr(8), 2, day)) {
        return false;
    }
    s.remove_prefix(10);
    int hour = 0, minute = 0, second = 0;
    uint64_t frac = 0;
    if (!s.empty() && (s[0] == 'T' || s[0] == ' ')) {
        s.remove_prefix(1);
        if (!digits(s, 2, hour) || s.size() < 5 || s[2] != ':' || !digits(s.substr(3), 2, minute)) return false;
        s.remove_prefix(5);
        if (!s.empty() && s[0] == ':') {
            if (!digits(s.substr(1), 2, second)) return false;
            s.remove_prefix(3);
            if (!fraction(s, frac)) return false;
        }
    }
    bool utc = false;
    long offset = 0;
    if (!s.empty() && s[0] == 'Z') {
        utc = true;
        s.remove_prefix(1);
    } else if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        const long sign = s[0] == '-' ? -1 : 1;
        int oh, om;
        s.remove_prefix(1);
        if (!digits(s, 2, oh)) return false;
        s.remove_prefix(2);
        if (!s.empty() && s[0] == ':') s.remove_prefix(1);
        if (!digits(s, 2, om)) return false;
        s.remove_prefix(2);
        utc = true;
        offset = sign * (oh * 3600L + om * 60L);
    }
    if (!s.empty() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    const time_t secs = utc ? timegm(&t) - offset : mktime(&t);
    if (secs < 0) return false;
    micros = static_cast<uint64_t>(secs) * 1000000 + frac;
    return true;
}

bool Filter::addComponent(std::string_view c) {
    std::string p;
    for (char ch : c) p += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    while (!p.empty() && p.back() == '*') p.pop_back();  // "XREM*" as a template writes it
    if (c.empty() || p.size() > 7 || p.find('*') != std::string::npos) return false;
    components.push_back(p);
    return true;
}

bool Filter::setCriteria(std::string_view letters) {
    if (letters.empty()) return false;
    criteria.clear();
    for (char ch : letters) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (u != 'T' && u != 'F' && u != 'D' && u != 'L') return false;
        criteria += u;
    }
    return true;
}

bool Filter::matches(const Entry &e) const {
    if ((pid != 0 && e.pid != pid) || (tid != 0 && e.tid != tid)) return false;
    if (!components.empty()) {
        bool any = false;
        for (const std::string &p : components) {
            if (e.text.size() >= p.size() && e.text.compare(0, p.size(), p) == 0) any = true;
        }
        if (!any) return false;
    }
    if (!criteria.empty() && (e.text.size() < 8 || criteria.find(e.text[7]) == std::string::npos)) return false;
    const uint64_t at = uint64_t{e.time} * 1000000 + e.usecs % 1000000u;
    return (!hasSince || at >= since) && (!hasUntil || at <= until);
}

}  // namespace xtrctl
