// Internal form of the pointer probe, for sizes beyond an int.
#pragma once

#include <cstddef>

namespace xtr {

// True when the last word of the area (the first when size is 4 or less)
// can be read.
bool probeWord(const void *pointer, size_t size) noexcept;

}  // namespace xtr
