// The trace facility's own text formatter.  Internal to the facility: the
// trace call formats every trace point with it, and the retrieval calls
// render numbers and line heads with it.  It never uses the standard
// library's formatting functions, never allocates and never fails.
//
// Directives: "%" [width digits] ["." precision digits] ["l"] ["w"] conversion,
// in exactly that order.  Conversions: c s d i u x X p F e f g E G; any other
// character is written as itself.  Every newline of the format is written as
// a carriage return and a line feed.  Output that grows past 512 characters is
// replaced by the format's first eight characters, the ninth formatted
// character and a too-long marker.
#pragma once

#include <cstdarg>
#include <span>

#include "ringwalk.h"

namespace xtr {

// The longest text a formatting call returns unchanged: the longest text of
// a ring entry.
inline constexpr int kFormatMaxText = static_cast<int>(kMaxEntryText);

// Bytes the destination of one formatting call must have room for: 512
// characters already written, then one string directive of 512, then a NUL.
inline constexpr int kFormatDestSize = 2 * kFormatMaxText + 1;
static_assert(kFormatDestSize == 1025);

// A destination of exactly kFormatDestSize bytes: a char array of that size
// converts to it; a pointer only explicitly, with the size spelt out.
using FormatDest = std::span<char, kFormatDestSize>;

// Formats `fmt` with the arguments in `vparms` into `dest` and returns
// strlen(dest); dest is always terminated.  Each call keeps its own cursor,
// so calls on different threads may run at the same time.  A string
// argument that points to unreadable memory faults; the trace call's fault
// trap is what catches that.
int myvsprintf(FormatDest dest, const char *fmt, va_list vparms) noexcept;

// myvsprintf with a variable argument list.  Checked like printf; formats
// that use the formatter's own "F" conversion or "w" flag must go through
// myvsprintf or suppress the check locally.
__attribute__((format(printf, 2, 3))) int mysprintf(FormatDest dest, const char *fmt, ...) noexcept;

}  // namespace xtr
