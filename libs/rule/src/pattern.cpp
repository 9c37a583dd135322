#include "pattern.hpp"

namespace rule {
namespace {

re2::RE2::Options pattern_options() {
  re2::RE2::Options options;  // UTF-8 by default
  options.set_log_errors(false);
  return options;
}

}  // namespace

CompiledPattern::CompiledPattern(std::string_view expression)
    : regex(re2::StringPiece(expression.data(), expression.size()), pattern_options()) {}

std::string match_expression(std::string_view pattern) {
  std::string expression;
  expression.reserve(pattern.size() + 2);
  expression += '^';
  expression += pattern;
  expression += '$';
  return expression;
}

Result<bool> search(const CompiledPattern& pattern, std::string_view value) {
  if (!pattern.regex.ok()) return RuleError::regex(pattern.regex.error());
  return re2::RE2::PartialMatch(re2::StringPiece(value.data(), value.size()), pattern.regex);
}

}  // namespace rule
