#include "korvid/utf8.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Utf8, LossyReplacesEachInvalidSequence) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"\xE2\x82", "\xEF\xBF\xBD"},               // truncated 3-byte sequence: one replacement
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate: each byte replaced
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},   // overlong
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(korvid::utf8_lossy(in), out);
    EXPECT_EQ(korvid::is_valid_utf8(in), in == out);
  }
}

}  // namespace
