#pragma once
// UTF-8 validation and lossy decoding. Property values, rule files and
// environment variables are text; bytes that are not are either rejected or
// replaced with U+FFFD, depending on the caller.

#include <string>
#include <string_view>

namespace korvid {

bool is_valid_utf8(std::string_view bytes);

// Replaces each maximal invalid sequence with U+FFFD, the way a lossy
// decoder does (one replacement per invalid prefix).
std::string utf8_lossy(std::string_view bytes);

}  // namespace korvid
