// Fuzzes the trace formatter with arbitrary formats and arguments.
//
// Input: the format, then NUL-separated chunks that become the string
// arguments.  A chunk that starts with 0xFF, N stands for a string of 4 * N
// copies of its third byte, so long strings (past the 512-character limit)
// are cheap to reach.  Every argument slot of the call holds a pointer to a
// readable string (or null), whatever the directive consuming it expects:
// a number directive then renders the pointer value, which is harmless, and
// a string directive, narrow or wide, always reads a terminated string.
//
// The format and every string live in heap blocks of exactly their size, and
// the destination is a heap block of exactly the documented size, so the
// address checker reports any read past the format or a string and any write
// past the destination.  On top of that each call is checked for:
//   - the returned length equals strlen(dest) and is at most 512;
//   - an overflow result starts with the format's first eight characters
//     (checked when no '#' comes from the format or a string);
//   - a format without '%' and without newlines of at most 512 characters is
//     copied unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formatter.h"

namespace {

constexpr size_t kSlots = 24;  // argument slots passed to each call
constexpr size_t kMaxFormatLen = 2048;  // longer formats are cut

struct Block {
    unsigned char *p = nullptr;
    explicit Block(size_t n) : p(static_cast<unsigned char *>(std::malloc(n))) {}
    ~Block() { std::free(p); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
};

// A string argument: `len` bytes without NUL, then zero bytes up to the next
// multiple of four plus four more, so a wide reading also ends inside.
Block *makeString(const unsigned char *s, size_t len) {
    const size_t size = (len + 3) / 4 * 4 + 4;
    auto *b = new Block(size);
    std::memset(b->p, 0, size);
    std::memcpy(b->p, s, len);
    return b;
}

bool endsWith(const char *s, size_t n, const char *suffix) {
    const size_t k = std::strlen(suffix);
    return n >= k && std::memcmp(s + n - k, suffix, k) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The format: up to the first NUL.
    size_t flen = 0;
    while (flen < size && data[flen] != 0 && flen < kMaxFormatLen) flen++;
    // At most one argument per '%': cap the number of '%' to the slots.
    Block fmt(flen + 1);
    size_t percents = 0;
    for (size_t i = 0; i < flen; i++) {
        unsigned char c = data[i];
        if (c == '%' && ++percents > kSlots) c = '#';
        fmt.p[i] = c;
    }
    fmt.p[flen] = 0;

    // The string arguments.
    std::vector<Block *> strings;
    size_t pos = flen < size ? flen + 1 : size;
    while (pos < size && strings.size() < kSlots) {
        size_t end = pos;
        while (end < size && data[end] != 0) end++;
        if (end - pos >= 3 && data[pos] == 0xFF) {
            std::vector<unsigned char> big(4u * data[pos + 1], data[pos + 2] ? data[pos + 2] : 'a');
            strings.push_back(makeString(big.data(), big.size()));
        } else {
            strings.push_back(makeString(data + pos, end - pos));
        }
        pos = end + 1;
    }
    bool anyHash = std::memchr(fmt.p, '#', flen) != nullptr;
    for (Block *b : strings)
        if (std::strchr(reinterpret_cast<const char *>(b->p), '#')) anyHash = true;
    alignas(16) static const unsigned char kDefault[8] = {'a', 'r', 'g', 0, 0, 0, 0, 0};
    const void *slot[kSlots];
    for (size_t i = 0; i < kSlots; i++) {
        if (i < strings.size()) slot[i] = strings[i]->p;
        else slot[i] = (i % 3 == 2) ? nullptr : kDefault;  // a null pointer now and then
    }

    Block dest(xtr::kFormatDestSize);
    std::memset(dest.p, 0x55, xtr::kFormatDestSize);
    char *d = reinterpret_cast<char *>(dest.p);
    const char *f = reinterpret_cast<const char *>(fmt.p);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    const xtr::FormatDest to(d, xtr::kFormatDestSize);
    const int n = xtr::mysprintf(to, f, slot[0], slot[1], slot[2], slot[3], slot[4], slot[5], slot[6], slot[7], slot[8],
                                 slot[9], slot[10], slot[11], slot[12], slot[13], slot[14], slot[15], slot[16],
                                 slot[17], slot[18], slot[19], slot[20], slot[21], slot[22], slot[23]);
#pragma GCC diagnostic pop
    for (Block *b : strings) delete b;

    if (n < 0 || n > xtr::kFormatMaxText) __builtin_trap();  // over the documented limit
    if (std::memchr(d, 0, static_cast<size_t>(n) + 1) != d + n) __builtin_trap();  // n != strlen(dest)
    const bool overflow = endsWith(d, static_cast<size_t>(n), "#### BAD TRACE ENTRY DATA (TOO LONG)!!!!!!") ||
                          endsWith(d, static_cast<size_t>(n), "#### TRACE DATA STRING TOO LONG!!!!!!");
    // Only the markers can bring a '#' when neither the format nor a string
    // holds one (a %c of a slot prints a pointer's low byte: 16-aligned).
    if (overflow && !anyHash && flen >= 8 && n >= 8 && std::memcmp(d, f, 8) != 0) __builtin_trap();
    if (percents == 0 && flen <= static_cast<size_t>(xtr::kFormatMaxText) && !std::memchr(f, '\n', flen)) {
        if (static_cast<size_t>(n) != flen || std::memcmp(d, f, flen) != 0) __builtin_trap();
    }
    return 0;
}
