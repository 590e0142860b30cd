// The trace formatter: one pass over the format, writing straight into the
// destination through a cursor that belongs to the call.
//
// Why every write stays inside kFormatDestSize bytes: the cursor is checked
// before each format character and the call ends with the overflow result
// once it is more than 512 characters past the start.  So each directive
// starts at most 512 characters in, and the widest one (a string of at most
// 512 characters, padding included, plus its NUL) ends at byte 1024.  Numbers
// are at most 20 characters, a newline is two, the overflow result is 52
// bytes with its NUL.
#include "formatter.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace xtr {
namespace {

constexpr char kEntryTooLong[] = "#### BAD TRACE ENTRY DATA (TOO LONG)!!!!!!";
constexpr char kStringTooLong[] = "#### TRACE DATA STRING TOO LONG!!!!!!";
constexpr char kNullString[] = "[NULL]";
static_assert(sizeof kEntryTooLong - 1 == 42 && sizeof kStringTooLong - 1 == 37);

// Longest string one directive may contribute, and the largest string width:
// the longest text, so that a directive that starts within it ends inside
// the destination.
constexpr int kMaxString = kFormatMaxText;
static_assert(kFormatMaxText + kMaxString + 1 <= kFormatDestSize);
// Hexadecimal digits of an int-sized value, of a long, of a pointer.
constexpr int kIntHexDigits = 8;
constexpr int kLongHexDigits = 2 * static_cast<int>(sizeof(unsigned long));
constexpr int kPointerHexDigits = 2 * static_cast<int>(sizeof(void *));
// Width and precision digits stop growing here: every limit above is far
// below it, so a larger number would change nothing but could overflow.
constexpr int kNumberCeiling = 1000000;

static_assert(sizeof(wchar_t) == 4, "wide strings are read as 32-bit elements");
static_assert(sizeof(void *) <= sizeof(unsigned long), "a pointer fits the hex writer");

// Where one call writes.  Number writers append and write no terminator.
struct Cursor {
    char *const dest;
    char *at;

    void put(char c) noexcept { *at++ = c; }
    std::ptrdiff_t written() const noexcept { return at - dest; }
};

// What one directive asked for.  Precision 0 means "no limit".
struct Directive {
    int width = 0;
    int precision = 0;
    bool longflag = false;
    bool wideflag = false;
    char conversion = '\0';
};

// Decimal digits of n, most significant first, without leading zeros.
void putld(Cursor &out, unsigned long n) noexcept {
    if (n >= 10) putld(out, n / 10);
    out.put(static_cast<char>('0' + n % 10));
}

// Signed decimal.  The magnitude is negated in unsigned arithmetic, which is
// exact for every value, the most negative long (and int) included.
void putldec(Cursor &out, long n) noexcept {
    if (n >= 0) {
        putld(out, static_cast<unsigned long>(n));
        return;
    }
    out.put('-');
    putld(out, 0UL - static_cast<unsigned long>(n));
}

// Upper-case hexadecimal with at least `width` digits (zero-filled) and at
// most `digits`.  Digit k is written once a higher digit was, or when the
// value has bits at or above it, or when the width asks for more than k
// digits; digit 0 always.  Widths of 0 and 1 act alike, widths beyond
// `digits` act as `digits`.
void putlhex(Cursor &out, unsigned long n, int width, int digits) noexcept {
    bool started = false;
    for (int k = digits - 1; k >= 0; --k) {
        const unsigned long above = n >> (4 * k);
        if (!started && k > 0 && above == 0 && width <= k) continue;
        started = true;
        const auto nibble = static_cast<unsigned>(above & 0xF);
        out.put(static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10)));
    }
}

// Right-aligned string of `length` characters at most kMaxString; for wide
// strings the low byte of each element.  Only as many elements are read as
// the result needs (precision, or one past the limit), so "%.20s" of a huge
// string reads 20.  False when the string or its width is too long.
template <typename Ch>
bool putString(Cursor &out, const Ch *s, const Directive &d) noexcept {
    const int scan = d.precision != 0 && d.precision <= kMaxString ? d.precision : kMaxString + 1;
    int length = 0;
    while (length < scan && s[length] != 0) ++length;
    if (length > kMaxString || d.width > kMaxString) return false;
    for (int i = length; i < d.width; ++i) out.put(' ');
    if constexpr (sizeof(Ch) == 1) {
        std::memcpy(out.at, s, static_cast<size_t>(length));
        out.at += length;
    } else {
        for (int i = 0; i < length; ++i) {
            out.put(static_cast<char>(static_cast<unsigned char>(static_cast<uint32_t>(s[i]) & 0xFF)));
        }
    }
    *out.at = '\0';
    return true;
}

// The result for output that grew too long: the format's first eight
// characters, then the ninth character as formatted, then the marker.  A
// format shorter than eight characters gives only the characters it has, and
// the ninth is kept only when nine were written; so nothing is read past the
// format's end and no byte that was never written shows up in the result.
// The marker is appended to the text, so a ninth character that is a NUL
// (from "%c" of 0) gives way to it rather than hiding it.
int overflow(Cursor &out, const char *fmt, const char *marker) noexcept {
    char *dest = out.dest;
    int head = 0;
    while (head < 8 && fmt[head] != '\0') {
        dest[head] = fmt[head];
        ++head;
    }
    if (head == 8 && out.written() > 8 && dest[8] != '\0') head = 9;
    std::memcpy(dest + head, marker, std::strlen(marker) + 1);
    return static_cast<int>(std::strlen(dest));
}

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

int readNumber(const char *&p) noexcept {
    int v = 0;
    for (; isDigit(*p); ++p) {
        if (v < kNumberCeiling) v = v * 10 + (*p - '0');
    }
    return v < kNumberCeiling ? v : kNumberCeiling;
}

// Reads what follows a "%" up to and including the conversion character.
// False when the format ends first: the caller then stops at the terminator.
bool parseDirective(const char *&p, Directive &d) noexcept {
    d.width = readNumber(p);
    if (*p == '.') d.precision = readNumber(++p);
    if (*p == 'l') d.longflag = (++p, true);
    if (*p == 'w') d.wideflag = (++p, true);
    d.conversion = *p;
    if (d.conversion == '\0') return false;
    ++p;
    return true;
}

}  // namespace

int myvsprintf(FormatDest destination, const char *fmt, va_list vparms) noexcept {
    char *const dest = destination.data();
    Cursor out{dest, dest};
    const char *p = fmt;
    for (;;) {
        // Checked before every format character, the terminator included:
        // 512 characters are returned as they are, 513 are not.
        if (out.written() > kFormatMaxText) return overflow(out, fmt, kEntryTooLong);
        const char ch = *p++;
        if (ch == '\0') break;
        if (ch == '\n') {
            out.put('\r');
            out.put('\n');
            continue;
        }
        if (ch != '%') {
            out.put(ch);  // bytes above 127 are ordinary characters
            continue;
        }
        Directive d;
        // A format that ends inside a directive ("%", "%12", "%.", "%l", "%w"
        // or "%F" last) writes nothing for it and ends there: the terminator is
        // never taken as a conversion and nothing beyond it is read.
        if (!parseDirective(p, d)) break;
        char conversion = d.conversion;
        if (conversion == 'F') {
            // Takes the next character too: "%Fp" is "%p"; any other pair is
            // swallowed whole and takes no argument.
            conversion = *p;
            if (conversion == '\0') break;
            ++p;
            if (conversion != 'p') continue;
        }
        switch (conversion) {
            case 'c':
                out.put(static_cast<char>(va_arg(vparms, int)));  // a 0 ends the text here
                break;
            case 's': {
                bool fits;
                if (d.wideflag) {
                    const wchar_t *ws = va_arg(vparms, const wchar_t *);
                    fits = ws != nullptr ? putString(out, ws, d) : putString(out, kNullString, d);
                } else {
                    const char *s = va_arg(vparms, const char *);
                    fits = putString(out, s != nullptr ? s : kNullString, d);
                }
                if (!fits) return overflow(out, fmt, kStringTooLong);
                break;
            }
            case 'd':
            case 'i':
                putldec(out, d.longflag ? va_arg(vparms, long) : va_arg(vparms, int));
                break;
            case 'u':
                putld(out, d.longflag ? va_arg(vparms, unsigned long) : va_arg(vparms, unsigned));
                break;
            case 'x':
            case 'X': {
                // Zero-filling stops at eight digits, with or without "l": a
                // long shows more only when its value has them.
                const int width = d.width < kIntHexDigits ? d.width : kIntHexDigits;
                if (d.longflag) {
                    putlhex(out, va_arg(vparms, unsigned long), width, kLongHexDigits);
                } else {
                    putlhex(out, va_arg(vparms, unsigned), width, kIntHexDigits);
                }
                break;
            }
            case 'p':
                putlhex(out, reinterpret_cast<uintptr_t>(va_arg(vparms, void *)), kPointerHexDigits, kPointerHexDigits);
                break;
            case 'e':
            case 'f':
            case 'g':
            case 'E':
            case 'G':
                (void)va_arg(vparms, double);  // skipped: the facility shows no floating point
                break;
            default:
                out.put(conversion);  // "%%" gives "%", "%o" gives "o"; no argument taken
                break;
        }
    }
    *out.at = '\0';
    return static_cast<int>(std::strlen(dest));
}

int mysprintf(FormatDest dest, const char *fmt, ...) noexcept {
    va_list vparms;
    va_start(vparms, fmt);
    const int n = myvsprintf(dest, fmt, vparms);
    va_end(vparms);
    return n;
}

}  // namespace xtr
