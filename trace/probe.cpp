// Guarded pointer checks: read caller memory inside a guarded section, so
// that a fault becomes a result instead of the end of the process.
#include "probe.h"

#include <climits>

#include "facility.h"
#include "kbvepce.h"

namespace xtr {
namespace {

// The reads that may fault on purpose; the sanitizers must not stop them
// before the fault trap sees them.
__attribute__((noinline, no_sanitize("address", "undefined"))) void touchWord(const volatile unsigned char *at) {
    for (int i = 0; i < 4; i++) (void)at[i];
}

__attribute__((noinline, no_sanitize("address", "undefined"))) size_t measure(const volatile char *p) {
    size_t n = 0;
    while (p[n] != '\0') n++;
    return n;
}

}  // namespace

bool probeWord(const void *pointer, size_t size) noexcept {
    const auto *at = static_cast<const volatile unsigned char *>(pointer);
    if (size > 4) at += size - 4;
    const GuardResult r = runGuarded([&] { touchWord(at); }, [] {});
    return r == GuardResult::Done;
}

}  // namespace xtr

using namespace xtr;

extern "C" SPRET xpce_ckstr_tr(const char *strptr, int *lenptr) {
    volatile int length = 0;
    const GuardResult r = runGuarded(
        [&] {
            const size_t n = measure(strptr);
            length = n > INT_MAX ? INT_MAX : static_cast<int>(n);
        },
        [] {});
    if (r != GuardResult::Done) return 2;
    *lenptr = length;
    return 0;
}

extern "C" SPRET xpce_ckptr_tr(const void *pointer, int size) {
    return probeWord(pointer, size > 0 ? static_cast<size_t>(size) : 0) ? 0 : 2;
}
