// UTF-8 checks and lossy decoding for names and paths, which are raw bytes on
// disk but text in results and reports.
#pragma once

#include <string>
#include <string_view>

namespace tessaly {

bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text, each maximal invalid subsequence replaced by U+FFFD
// (the substitution practice recommended by the Unicode standard).
std::string utf8_lossy(std::string_view bytes);

}  // namespace tessaly
