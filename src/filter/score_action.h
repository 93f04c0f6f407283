#pragma once
// The verdict of the article filters on one article. The news fetch job acts
// on it; the scorefile and the sender filter both give it.

#include <cstdint>

namespace brix {

enum tscaction : std::uint8_t {
    tscnone,    // fetch the article whole
    tscskip,    // kill: do not fetch it
    tschdronly, // fetch its header only
};

} // namespace brix
