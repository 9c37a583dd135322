#pragma once
// CompiledPattern: a condition's regular expression, compiled once and then
// shared read-only by every thread that evaluates the condition (RE2 matching
// is thread-safe on a const object). A pattern that fails to compile is kept
// with its failure so that evaluation reports the same error it would report
// when compiling on the spot.

#include <memory>
#include <string>
#include <string_view>

#include <re2/re2.h>

#include "rule/error.hpp"
#include "rule/model.hpp"

namespace rule {

struct CompiledPattern {
  // `expression` is the exact text handed to RE2 (for Match it already
  // carries the "^" and "$" anchors).
  explicit CompiledPattern(std::string_view expression);

  re2::RE2 regex;
};

// The expression text of a condition's pattern: "^" + pattern + "$" for
// Match, the pattern itself for PartMatch. No group goes around the pattern,
// so "a|b" becomes "^a|b$".
std::string match_expression(std::string_view pattern);

// Whether `value` contains a match of an already compiled expression, or the
// Regex error when it did not compile.
Result<bool> search(const CompiledPattern& pattern, std::string_view value);

}  // namespace rule
