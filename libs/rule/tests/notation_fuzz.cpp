// Feeds the rule-notation reader random bytes, mutations and truncations of
// valid files. It must never crash, leak or read out of bounds (run it in the
// sanitizer build), and every error must point inside the text.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rule/notation.hpp"

namespace rule {
namespace {

const std::vector<std::string> kSeeds = {
    "[]",
    "// c\n/* b /* nested */ */ [ ]",
    R"([Rule(when: Match("SUBSYSTEM", "block"), actions: [Set("GROUP", "disk")])])",
    R"([(when: True, do: [Unset("MODE")], on_error: Continue)])",
    R"([(when: Not(All([Match("ACTION", "add"), PartMatch("DEVNAME", "tty")])), actions: [Add("SYMLINKS", ["disk/{DEVNAME}"]), Command("sync")])])",
    "[(when: Any([True, False,]), actions: [UseProvider([r#\"K{A}\"#], r\"echo\"), Set('x', \"\\u{1F600}\\n\\t\\0\")], on_error: StopAll,),]",
    R"([(note: {"k": [1, 2.5e3, -0x1F], b: (a: 1, t: (1, "x")), c: Some(None)}, when: True, actions: [])])",
};

// Inputs are built from the notation's own characters most of the time, so
// that mutations reach deep into the grammar, plus arbitrary bytes.
const std::string kAlphabet = "[](){}:,\"'#/*\\ \n\trRuleAllNotMatchSet_0123456789.+-xu{}";

std::string random_char(std::mt19937& rng) {
  switch (rng() % 16) {
    case 0:
      return std::string(1, static_cast<char>(rng() % 256));
    case 1:
      return "\u00e9";  // two bytes, one character: columns count characters
    default:
      return std::string(1, kAlphabet[rng() % kAlphabet.size()]);
  }
}

std::string mutate(std::string s, std::mt19937& rng) {
  const int steps = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < steps; ++i) {
    const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 5) {
      case 0:  // insert
        s.insert(at, random_char(rng));
        break;
      case 1:  // delete
        if (at < s.size()) s.erase(at, 1 + rng() % 4);
        break;
      case 2:  // replace
        if (at < s.size()) s.replace(at, 1, random_char(rng));
        break;
      case 3: {  // duplicate a slice
        if (s.empty()) break;
        const std::size_t from = rng() % s.size();
        const std::size_t len = std::min<std::size_t>(1 + rng() % 16, s.size() - from);
        s.insert(at, s.substr(from, len));
        break;
      }
      default:  // splice another seed in
        s.insert(at, kSeeds[rng() % kSeeds.size()]);
        break;
    }
  }
  return s;
}

void check(const std::string& text) {
  std::size_t lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  auto rules = parse_rules(text);
  if (!rules) {
    const RuleError& e = rules.error();
    ASSERT_EQ(e.kind(), RuleError::Kind::Parse);
    ASSERT_GE(e.start().line, 1u);
    ASSERT_LE(e.start().line, lines);
    ASSERT_GE(e.start().column, 1u);
    ASSERT_LE(e.start().column, text.size() + 1);
    ASSERT_FALSE(e.detail().empty());
  }
  auto condition = parse_condition(text);
  if (!condition) {
    ASSERT_LE(condition.error().start().line, lines);
  }
}

TEST(NotationFuzz, SeedsAreValid) {
  for (const auto& seed : kSeeds) EXPECT_TRUE(parse_rules(seed)) << seed << ": " << parse_rules(seed).error().text();
}

TEST(NotationFuzz, RandomBytes) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 30000; ++i) {
    std::string text;
    for (std::size_t n = rng() % 200; n > 0; --n) text += random_char(rng);
    if (rng() % 2) text = "[" + text;
    ASSERT_NO_FATAL_FAILURE(check(text)) << testing::PrintToString(text);
  }
}

TEST(NotationFuzz, MutatedSeeds) {
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    std::string text = kSeeds[rng() % kSeeds.size()];
    const int rounds = 1 + static_cast<int>(rng() % 3);
    for (int r = 0; r < rounds; ++r) text = mutate(std::move(text), rng);
    ASSERT_NO_FATAL_FAILURE(check(text)) << testing::PrintToString(text);
  }
}

TEST(NotationFuzz, TruncatedSeeds) {
  for (const auto& seed : kSeeds) {
    for (std::size_t n = 0; n < seed.size(); ++n) {
      const std::string text = seed.substr(0, n);
      ASSERT_NO_FATAL_FAILURE(check(text)) << testing::PrintToString(text);
      // Only the whole seed is a complete rule list; no prefix of a one-value file is.
      if (n + 1 < seed.size()) {
        EXPECT_FALSE(parse_rules(text)) << text;
      }
    }
  }
}

TEST(NotationFuzz, DeepAndLongInputs) {
  std::mt19937 rng(3);
  for (int i = 0; i < 50; ++i) {
    std::string text = "[(x: ";
    const std::size_t n = 1000 + rng() % 50000;
    for (std::size_t k = 0; k < n; ++k) text += "[({"[rng() % 3];
    ASSERT_NO_FATAL_FAILURE(check(text));
    EXPECT_FALSE(parse_rules(text));
  }
}

}  // namespace
}  // namespace rule
