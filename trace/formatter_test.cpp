#include "formatter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace xtr {
namespace {

// Not printf-checked on purpose: these tests hand the formatter its own
// directives and malformed ones.
int into(char *dest, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = myvsprintf(FormatDest(dest, kFormatDestSize), fmt, ap);
    va_end(ap);
    return n;
}

// Formats into a heap block of exactly the promised size (so the address
// sanitizer sees any write past it) and checks the result is strlen.
#define F(...)                                                     \
    ([&] {                                                         \
        auto buf = std::make_unique<char[]>(kFormatDestSize);      \
        const int n = into(buf.get(), __VA_ARGS__);                \
        EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf.get())); \
        return std::string(buf.get());                             \
    }())

const std::string kPrefix = "XTR    F:";
const std::string kEntryMarker = "#### BAD TRACE ENTRY DATA (TOO LONG)!!!!!!";
const std::string kStringMarker = "#### TRACE DATA STRING TOO LONG!!!!!!";
const char *const kNull = nullptr;

TEST(FormatterText, NewlineBecomesCrLfOnlyInTheFormat) {
    char buf[kFormatDestSize];
    EXPECT_EQ(mysprintf(buf, "a\nb"), 4);
    EXPECT_STREQ(buf, "a\r\nb");
    EXPECT_EQ(F("[%s|%c]", "x\ny", '\n'), "[x\ny|\n]");
    EXPECT_EQ(F("\xC3\xA9 %%\n"), "\xC3\xA9 %\r\n");
}

TEST(FormatterStrings, NullPaddingPrecisionWide) {
    EXPECT_EQ(F("%s|%.3s|%10s|%ws", kNull, kNull, kNull, static_cast<const wchar_t *>(nullptr)),
              "[NULL]|[NU|    [NULL]|[NULL]");
    EXPECT_EQ(F("%5s|%.0s|%.2s|%3s", "ab", "hello", "hello", "toolong"), "   ab|hello|he|toolong");
    EXPECT_EQ(F("%ws|%.3ws", L"wide", L"\u0141BCD"), "wide|ABC");  // low byte of each element
    const std::string huge(100000, 'h'), s512(512, 's'), s600(600, 'q');
    EXPECT_EQ(F("%.20s", huge.c_str()), huge.substr(0, 20));
    EXPECT_EQ(F("%.10s", s600.c_str()), s600.substr(0, 10));
    EXPECT_EQ(F("%s", s512.c_str()), s512);
    EXPECT_EQ(F("%512s", "x"), std::string(511, ' ') + "x");
}

TEST(FormatterNumbers, DecimalAndCharacters) {
    EXPECT_EQ(F("%d %d %u %5d %i", INT_MIN, -1, -1, 42, 0), "-2147483648 -1 4294967295 42 0");
    EXPECT_EQ(F("%ld %ld %lu", LONG_MIN, LONG_MAX, ULONG_MAX),
              "-9223372036854775808 9223372036854775807 18446744073709551615");
    EXPECT_EQ(F("%c%5c|%c", 'A', 'B', 0x141), "AB|A");
    EXPECT_EQ(F("ab%cde", 0), "ab");
}

TEST(FormatterHex, WidthDigitsAndPointers) {
    EXPECT_EQ(F("%x %4X %2x %12X %08lX %x", 0, 31, 4660, 1, 0x1234UL, 0xdeadbeefU),
              "0 001F 1234 00000001 00001234 DEADBEEF");
    // Widths above 8 act as 8 with "l" too; a long's own digits are never cut.
    EXPECT_EQ(
        F("%x|%lx|%08lX|%20lX|%12lX|%12lx|%9lX", -1, ~0UL, 0x123456789ABUL, 1UL, 1UL, 0xABCDEF012UL, 0x80000000UL),
        "FFFFFFFF|FFFFFFFFFFFFFFFF|123456789AB|00000001|00000001|ABCDEF012|80000000");
    const auto ptr = reinterpret_cast<void *>(uintptr_t{0x1234ABCD});
    EXPECT_EQ(F("%p|%Fp|%5p", nullptr, ptr, ptr), "0000000000000000|000000001234ABCD|000000001234ABCD");
}

TEST(FormatterDirectives, UnknownAndSwallowed) {
    EXPECT_EQ(F("%%|%o|%S|%-5d|%d", 9), "%|o|S|-5d|9");
    EXPECT_EQ(F("%lld|%wls|%\n"), "ld|ls|\n");  // strict order; a directive's newline stays single
    EXPECT_EQ(F("%Fx%d", 7, 8), "7");  // %Fx takes no argument
}

TEST(FormatterDirectives, FloatingPointSkipsOneDouble) {
    EXPECT_EQ(F("<%f%e%g%E%G>", 1.0, 2.0, 3.0, 4.0, 5.0), "<>");
    // Four ints fill the integer registers and eight doubles the vector ones,
    // so the ninth double and the 5 share the stack: only skipping exactly
    // one double per directive reaches the 5.
    EXPECT_EQ(F("%d%d%d%d%f%f%f%f%f%f%f%f%f%d", 1, 2, 3, 4, .1, .2, .3, .4, .5, .6, .7, .8, 0.5, 5), "12345");
}

TEST(FormatterDirectives, IncompleteDirectiveStopsAtTheTerminator) {
    for (const std::string tail : {"%", "%12", "%.", "%12.3", "%l", "%w", "%F", "%5.2lw", "%lF"}) {
        // The format is "ab<tail>", a NUL, then "zz": exact size, so reading
        // past the block is caught, and "zz" must never be written.
        const std::string body = "ab" + tail + std::string(1, '\0') + "zz";
        auto fmt = std::make_unique<char[]>(body.size() + 1);
        std::memcpy(fmt.get(), body.c_str(), body.size() + 1);
        char buf[kFormatDestSize];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(into(buf, fmt.get()), 2) << tail;
        EXPECT_STREQ(buf, "ab") << tail;
        EXPECT_EQ(std::string(buf + 3, 4), "####") << tail;
    }
}

TEST(FormatterOverflow, PrefixAndMarker) {
    const std::string exact = kPrefix + std::string(503, 'a');
    EXPECT_EQ(F(exact.c_str()), exact);
    EXPECT_EQ(F((exact + "b").c_str()), kPrefix + kEntryMarker);
    EXPECT_EQ((kPrefix + kEntryMarker).size(), 51u);
    EXPECT_EQ(F((kPrefix + std::string(502, 'a') + "\n").c_str()), kPrefix + kEntryMarker);
    const std::string s100(100, 'x'), s513(513, 'y');
    EXPECT_EQ(F((kPrefix + std::string(491, 't') + "%s").c_str(), s100.c_str()), kPrefix + kEntryMarker);
    EXPECT_EQ(F((exact + "%512s").c_str(), "x"), kPrefix + kEntryMarker);  // widest write: 1025 bytes
    EXPECT_EQ(F("XTR    F:%s", s513.c_str()), kPrefix + kStringMarker);
    EXPECT_EQ(F("XTR    F:%513s", "x"), kPrefix + kStringMarker);
    EXPECT_EQ((kPrefix + kStringMarker).size(), 46u);
    // Eight characters of the format, then the ninth as formatted.
    EXPECT_EQ(F(("%c%c%c%c%c%c%c%c%c" + std::string(600, 'z')).c_str(), 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'),
              "%c%c%c%ci" + kEntryMarker);
    EXPECT_EQ(F("%s", s513.c_str()), "%s" + kStringMarker);  // a short format gives what it has
    // A NUL as the ninth character gives way to the marker instead of hiding it.
    const std::string s599(599, 'w');
    EXPECT_EQ(F("ABCDEFGF%c%s", 0, s599.c_str()), "ABCDEFGF" + kStringMarker);
    EXPECT_EQ(F(("ABCDEFGF%c" + std::string(600, 'z')).c_str(), 0), "ABCDEFGF" + kEntryMarker);
}

TEST(FormatterConcurrency, EachCallHasItsOwnCursor) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string want = "T" + std::to_string(t) + ":" + std::string(40, char('a' + t));
            for (int i = 0; i < 5000; ++i) {
                char buf[kFormatDestSize];
                if (mysprintf(buf, "T%d:%s", t, want.c_str() + 3) != 43 || want != buf) ++wrong;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace xtr
