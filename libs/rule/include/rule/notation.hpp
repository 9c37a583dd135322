#pragma once
// Reading the rule-file notation: a list of rules, or a single condition.
//
// Pure functions of their input; callable from any thread. Either the whole
// value is read or one Parse error comes back with the position (line:column,
// columns in characters) and a description; there are no partial results.
// Values nest at most 128 levels deep (every list, record and variant payload
// is a level), so hostile input cannot exhaust the stack. Literal patterns
// are not compiled here.

#include <string_view>
#include <vector>

#include "rule/error.hpp"
#include "rule/model.hpp"

namespace rule {

// A rule file's text: exactly one list of rules, then only whitespace and
// comments.
Result<std::vector<Rule>> parse_rules(std::string_view text);

// One condition written as in rule files, the whole text (command-line
// filters of ListDevices).
Result<When> parse_condition(std::string_view text);

}  // namespace rule
