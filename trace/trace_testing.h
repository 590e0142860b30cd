// Test helpers: read back what this process recorded in its own ring.
#pragma once

#include <string>
#include <vector>

#include "ring.h"

namespace xtr::testing {

inline std::vector<std::string> privateRingTexts() {
    std::vector<std::string> texts;
    walkRing(xtr_hdrP.pbuffer, XTR_P_RING_SIZE, xtr_hdrP.begin, xtr_hdrP.end,
             [&](const MSG &, std::string_view text) { texts.emplace_back(text); });
    return texts;
}

inline void clearPrivateRing() { xtr_hdrP.begin = xtr_hdrP.end = 0; }

}  // namespace xtr::testing
