#pragma once
// The token level of the rule-file reader: a cursor over the text with
// whitespace and comment skipping, strings, character literals, numbers and
// identifiers. Private to libs/rule. The text must be valid UTF-8 (the reader
// checks that first); apart from that any byte sequence is handled without
// reading past the end. Not thread-safe; one lexer per reading.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "rule/error.hpp"

namespace rule::notation {

// The first failure of a reading: a byte offset into the text and the
// description. Converted to a line:column RuleError at the very end.
struct Failure {
  std::size_t offset = 0;
  std::string description;
};

// Line and column (in characters) of a byte offset of valid UTF-8 text.
Position position_of(std::string_view text, std::size_t offset);

// Offset of the first byte that is not part of valid UTF-8, if any.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

class Lexer {
 public:
  static constexpr int kEnd = -1;

  explicit Lexer(std::string_view text) : text_(text) {}

  std::size_t offset() const { return pos_; }
  void reset(std::size_t offset) { pos_ = offset; }
  bool at_end() const { return pos_ >= text_.size(); }
  // The byte at offset + ahead as 0..255, or kEnd.
  int peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? static_cast<unsigned char>(text_[pos_ + ahead]) : kEnd;
  }

  // Skips whitespace, line comments and (nested) block comments. Fails only
  // on an unclosed block comment.
  bool skip_trivia();
  // Consumes `c` if it is the next byte.
  bool consume(char c);

  bool at_identifier() const;
  bool at_string() const;
  bool at_char() const { return peek() == '\''; }
  bool at_number() const;

  // Requires at_identifier().
  std::string_view identifier();
  // A quoted or raw string; requires at_string().
  bool string(std::string& out);
  // A one-character literal, appended as UTF-8; requires at_char().
  bool char_literal(std::string& out);
  // A number, validated and skipped; requires at_number().
  bool number(std::string_view& text, bool& is_float);

  // Describes what starts at the cursor for "unexpected ..." messages:
  // "end of file", "identifier `x`" or "character `x`".
  std::string describe_token() const;

  // Records the first failure and returns false, so productions can
  // `return fail(...)`.
  bool fail(std::size_t offset, std::string description);
  const std::optional<Failure>& failure() const { return failure_; }

 private:
  bool quoted_string(std::string& out);
  bool raw_string(std::string& out);
  bool escape(std::string& out);
  bool block_comment();

  std::string_view text_;
  std::size_t pos_ = 0;
  std::optional<Failure> failure_;
};

// `s` between double quotes with quotes, backslashes and control characters
// escaped, for messages.
std::string quote_for_message(std::string_view s);
// One character (UTF-8) for messages, control characters as \u{..}.
std::string char_for_message(std::string_view utf8_char);

}  // namespace rule::notation
