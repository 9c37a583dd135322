#include "notation_lexer.hpp"

#include <cstring>

#include <fmt/format.h>

namespace rule::notation {
namespace {

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_ident_start(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_ident_continue(int c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the UTF-8 sequence that starts with `lead`; 1 for stray bytes so
// that callers always make progress.
std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Digits of one base with "_" separators; at least one digit.
bool digits(std::string_view text, std::size_t& pos, int base) {
  bool any = false;
  while (pos < text.size()) {
    const int c = static_cast<unsigned char>(text[pos]);
    if (c == '_') {
      ++pos;
      continue;
    }
    const int v = hex_value(c);
    if (v < 0 || v >= base) break;
    any = true;
    ++pos;
  }
  return any;
}

}  // namespace

Position position_of(std::string_view text, std::size_t offset) {
  Position p;
  const std::size_t end = offset < text.size() ? offset : text.size();
  for (std::size_t i = 0; i < end; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n') {
      ++p.line;
      p.column = 1;
    } else if ((b & 0xC0) != 0x80) {
      ++p.column;
    }
  }
  return p;
}

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    if (i + len > n) return i;
    if (s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return i;
    i += len;
  }
  return std::nullopt;
}

std::string quote_for_message(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{{{:x}}}", c);
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

std::string char_for_message(std::string_view utf8_char) {
  if (utf8_char.size() == 1) {
    const auto c = static_cast<unsigned char>(utf8_char[0]);
    if (c < 0x20 || c == 0x7F) return fmt::format("\\u{{{:x}}}", c);
  }
  return std::string(utf8_char);
}

bool Lexer::fail(std::size_t offset, std::string description) {
  if (!failure_) failure_ = Failure{offset, std::move(description)};
  return false;
}

bool Lexer::consume(char c) {
  if (peek() != static_cast<unsigned char>(c)) return false;
  ++pos_;
  return true;
}

bool Lexer::skip_trivia() {
  for (;;) {
    const int c = peek();
    if (is_space(c)) {
      ++pos_;
    } else if (c == '/' && peek(1) == '/') {
      const std::size_t newline = text_.find('\n', pos_);
      pos_ = newline == std::string_view::npos ? text_.size() : newline + 1;
    } else if (c == '/' && peek(1) == '*') {
      if (!block_comment()) return false;
    } else {
      return true;
    }
  }
}

// Block comments nest, so commenting out a region that already holds one
// keeps working.
bool Lexer::block_comment() {
  const std::size_t start = pos_;
  pos_ += 2;
  std::size_t level = 1;
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == '/' && peek(1) == '*') {
      ++level;
      pos_ += 2;
    } else if (c == '*' && peek(1) == '/') {
      pos_ += 2;
      if (--level == 0) return true;
    } else {
      ++pos_;
    }
  }
  return fail(start, "unclosed block comment");
}

bool Lexer::at_identifier() const {
  // "r\"" and "r#" begin raw strings, not identifiers.
  return is_ident_start(peek()) && !(peek() == 'r' && (peek(1) == '"' || peek(1) == '#'));
}

bool Lexer::at_string() const { return peek() == '"' || (peek() == 'r' && (peek(1) == '"' || peek(1) == '#')); }

bool Lexer::at_number() const {
  int c = peek();
  std::size_t k = 0;
  if (c == '+' || c == '-') c = peek(++k);
  if (is_digit(c)) return true;
  if (c == '.') return is_digit(peek(k + 1));
  // Signed "inf" and "NaN"; unsigned ones read as identifiers.
  if (k == 1) {
    const std::string_view rest = text_.substr(pos_ + 1);
    for (std::string_view word : {std::string_view("inf"), std::string_view("NaN")})
      if (rest.starts_with(word) && !is_ident_continue(peek(1 + word.size()))) return true;
  }
  return false;
}

std::string_view Lexer::identifier() {
  const std::size_t start = pos_;
  while (is_ident_continue(peek())) ++pos_;
  return text_.substr(start, pos_ - start);
}

bool Lexer::number(std::string_view& text, bool& is_float) {
  const std::size_t start = pos_;
  std::size_t p = pos_;
  is_float = false;
  if (text_[p] == '+' || text_[p] == '-') ++p;
  const std::string_view rest = text_.substr(p);
  bool ok = true;
  if (rest.starts_with("inf") || rest.starts_with("NaN")) {
    is_float = true;
    p += 3;
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'o' || rest[1] == 'b')) {
    const int base = rest[1] == 'x' ? 16 : rest[1] == 'o' ? 8 : 2;
    p += 2;
    ok = digits(text_, p, base);
  } else {
    const bool whole = digits(text_, p, 10);
    bool fraction = false;
    if (p < text_.size() && text_[p] == '.' && (p + 1 >= text_.size() || text_[p + 1] != '.')) {
      is_float = true;
      ++p;
      fraction = digits(text_, p, 10);
    }
    ok = whole || fraction;
    if (ok && p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
      is_float = true;
      ++p;
      if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
      ok = digits(text_, p, 10);
    }
  }
  // A number runs into no letter, digit or dot: "1x" and "1.2.3" are errors.
  if (!ok || (p < text_.size() && (is_ident_continue(static_cast<unsigned char>(text_[p])) || text_[p] == '.'))) {
    std::size_t bad_end = p;
    while (bad_end < text_.size() &&
           (is_ident_continue(static_cast<unsigned char>(text_[bad_end])) || text_[bad_end] == '.'))
      ++bad_end;
    return fail(start, fmt::format("invalid number `{}`", text_.substr(start, bad_end - start)));
  }
  pos_ = p;
  text = text_.substr(start, p - start);
  return true;
}

bool Lexer::string(std::string& out) { return peek() == '"' ? quoted_string(out) : raw_string(out); }

bool Lexer::quoted_string(std::string& out) {
  const std::size_t start = pos_++;
  for (;;) {
    std::size_t stop = pos_;
    while (stop < text_.size() && text_[stop] != '"' && text_[stop] != '\\') ++stop;
    out.append(text_.substr(pos_, stop - pos_));
    pos_ = stop;
    if (at_end()) return fail(start, "unterminated string");
    if (text_[pos_] == '"') {
      ++pos_;
      return true;
    }
    if (!escape(out)) return false;
  }
}

bool Lexer::raw_string(std::string& out) {
  const std::size_t start = pos_++;
  std::size_t hashes = 0;
  while (peek() == '#') {
    ++hashes;
    ++pos_;
  }
  if (!consume('"')) return fail(start, "invalid raw string: expected `\"` after `r` and `#` marks");
  const std::size_t body = pos_;
  std::size_t search = body;
  for (;;) {
    const std::size_t quote = text_.find('"', search);
    if (quote == std::string_view::npos) return fail(start, "unterminated raw string");
    std::size_t k = 0;
    while (k < hashes && quote + 1 + k < text_.size() && text_[quote + 1 + k] == '#') ++k;
    if (k == hashes) {
      out.append(text_.substr(body, quote - body));
      pos_ = quote + 1 + hashes;
      return true;
    }
    search = quote + 1;
  }
}

bool Lexer::escape(std::string& out) {
  const std::size_t start = pos_++;  // the backslash
  if (at_end()) return fail(start, "unterminated escape sequence");
  const char c = text_[pos_];
  switch (c) {
    case '"': out += '"'; ++pos_; return true;
    case '\\': out += '\\'; ++pos_; return true;
    case '\'': out += '\''; ++pos_; return true;
    case 'n': out += '\n'; ++pos_; return true;
    case 'r': out += '\r'; ++pos_; return true;
    case 't': out += '\t'; ++pos_; return true;
    case '0': out += '\0'; ++pos_; return true;
    case 'u': break;
    default: {
      const std::size_t len = utf8_length(static_cast<unsigned char>(c));
      return fail(start, fmt::format("invalid escape `\\{}`", char_for_message(text_.substr(pos_, len))));
    }
  }
  ++pos_;
  if (!consume('{')) return fail(start, "invalid Unicode escape: expected `{` after `\\u`");
  char32_t value = 0;
  std::size_t count = 0;
  while (hex_value(peek()) >= 0) {
    if (++count > 6) return fail(start, "invalid Unicode escape: more than 6 hexadecimal digits");
    value = value * 16 + static_cast<char32_t>(hex_value(peek()));
    ++pos_;
  }
  if (count == 0) return fail(start, "invalid Unicode escape: expected 1 to 6 hexadecimal digits");
  if (!consume('}')) return fail(start, "invalid Unicode escape: expected `}`");
  if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return fail(start, fmt::format("invalid Unicode escape: {:X} is not a Unicode scalar value",
                                   static_cast<std::uint32_t>(value)));
  append_utf8(out, value);
  return true;
}

bool Lexer::char_literal(std::string& out) {
  const std::size_t start = pos_++;
  if (at_end()) return fail(start, "unterminated character literal");
  if (peek() == '\'') return fail(start, "empty character literal");
  if (peek() == '\\') {
    if (!escape(out)) return false;
  } else {
    const std::size_t len = utf8_length(static_cast<unsigned char>(text_[pos_]));
    out.append(text_.substr(pos_, len));
    pos_ += len;
  }
  if (!consume('\'')) return fail(start, "character literal must hold exactly one character");
  return true;
}

std::string Lexer::describe_token() const {
  if (at_end()) return "end of file";
  if (is_ident_start(peek())) {
    std::size_t end = pos_;
    while (end < text_.size() && is_ident_continue(static_cast<unsigned char>(text_[end]))) ++end;
    return fmt::format("identifier `{}`", text_.substr(pos_, end - pos_));
  }
  const std::size_t len = utf8_length(static_cast<unsigned char>(text_[pos_]));
  return fmt::format("character `{}`", char_for_message(text_.substr(pos_, len)));
}

}  // namespace rule::notation
