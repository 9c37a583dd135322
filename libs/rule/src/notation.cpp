// The rule-file reader: recursive descent, one function per production.
// Every production starts by skipping trivia itself, reports the first
// failure through the lexer and returns false, so callers just pass it up.

#include "rule/notation.hpp"

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "notation_lexer.hpp"

namespace rule {
namespace {

using notation::Lexer;

constexpr std::size_t kNestingLimit = 128;
constexpr std::string_view kTextValueExpected = "string or array with a single string";

struct EnumType {
  std::string_view name;  // "When"
  std::string_view expected;  // "enum When"
  std::span<const std::string_view> variants;
};

constexpr std::array<std::string_view, 7> kWhenVariants = {"All",  "Any",   "Not",      "True",
                                                           "False", "Match", "PartMatch"};
constexpr std::array<std::string_view, 5> kActionVariants = {"Command", "Add", "Set", "Unset", "UseProvider"};
constexpr std::array<std::string_view, 4> kOnErrorVariants = {"Continue", "Log", "StopFile", "StopAll"};

const EnumType kWhen{"When", "enum When", kWhenVariants};
const EnumType kAction{"Action", "enum Action", kActionVariants};
const EnumType kOnError{"OnError", "enum OnError", kOnErrorVariants};

class Reader {
 public:
  explicit Reader(std::string_view text) : lex_(text) {}

  const notation::Failure* failure() const { return lex_.failure() ? &*lex_.failure() : nullptr; }

  // file = rule_list trivia EOF
  bool rule_file(std::vector<Rule>& out) {
    return rule_list(out) && end_of_input("trailing characters after the list of rules");
  }

  // condition_text = when trivia EOF
  bool condition_text(When& out) {
    return when(out) && end_of_input("trailing characters after the condition");
  }

 private:
  // --- helpers -----------------------------------------------------------

  bool fail(std::size_t at, std::string description) { return lex_.fail(at, std::move(description)); }

  bool end_of_input(std::string_view description) {
    if (!lex_.skip_trivia()) return false;
    if (!lex_.at_end()) return fail(lex_.offset(), std::string(description));
    return true;
  }

  bool enter(std::size_t at) {
    if (++depth_ > kNestingLimit) return fail(at, fmt::format("exceeded the nesting limit of {}", kNestingLimit));
    return true;
  }
  void leave() { --depth_; }

  bool at_value() const {
    const int c = lex_.peek();
    return lex_.at_string() || lex_.at_char() || lex_.at_number() || lex_.at_identifier() || c == '[' ||
           c == '{' || c == '(';
  }

  // The kind of the value at the cursor, as in "invalid type: {kind}".
  bool describe_value(std::string& kind) {
    const std::size_t start = lex_.offset();
    bool ok = true;
    if (lex_.at_string()) {
      std::string s;
      ok = lex_.string(s);
      kind = "string " + notation::quote_for_message(s);
    } else if (lex_.at_char()) {
      std::string c;
      ok = lex_.char_literal(c);
      kind = fmt::format("char '{}'", notation::char_for_message(c));
    } else if (lex_.at_number()) {
      std::string_view text;
      bool is_float = false;
      ok = lex_.number(text, is_float);
      kind = fmt::format("{} `{}`", is_float ? "floating point" : "integer", text);
    } else if (lex_.at_identifier()) {
      const std::string_view name = lex_.identifier();
      kind = name == "true" || name == "false" ? fmt::format("boolean `{}`", name)
                                               : fmt::format("identifier `{}`", name);
    } else if (lex_.peek() == '[') {
      kind = "sequence";
    } else if (lex_.peek() == '{') {
      kind = "map";
    } else {  // '('
      lex_.consume('(');
      ok = lex_.skip_trivia();
      if (lex_.peek() == ')') {
        kind = "unit value";
      } else {
        bool is_struct = false;
        if (lex_.at_identifier()) {
          lex_.identifier();
          ok = ok && lex_.skip_trivia();
          is_struct = lex_.peek() == ':';
        }
        kind = is_struct ? "struct" : "tuple";
      }
    }
    lex_.reset(start);
    return ok;
  }

  // Something other than `expected` is at the cursor: a value of another
  // kind ("invalid type") or a token that starts no value ("unexpected").
  bool unexpected_value(std::string_view expected, std::string_view expected_token) {
    const std::size_t at = lex_.offset();
    if (at_value()) {
      std::string kind;
      if (!describe_value(kind)) return false;
      return fail(at, fmt::format("invalid type: {}, expected {}", kind, expected));
    }
    return unexpected_token(expected_token);
  }
  bool unexpected_value(std::string_view expected) { return unexpected_value(expected, expected); }

  bool unexpected_token(std::string_view expected) {
    const std::string found = lex_.describe_token();
    return fail(lex_.offset(), lex_.at_end() ? fmt::format("unexpected end of file, expected {}", expected)
                                             : fmt::format("unexpected {}, expected {}", found, expected));
  }

  bool expect(char c) {
    if (!lex_.skip_trivia()) return false;
    if (lex_.consume(c)) return true;
    return unexpected_token(fmt::format("`{}`", c));
  }

  // Reads `element` until `close`, with commas between and an optional
  // comma at the end; the opening bracket is already consumed.
  template <typename Element>
  bool elements(char close, Element element) {
    for (;;) {
      if (!lex_.skip_trivia()) return false;
      if (lex_.consume(close)) return true;
      if (!element()) return false;
      if (!lex_.skip_trivia()) return false;
      if (lex_.consume(close)) return true;
      if (!lex_.consume(',')) return unexpected_token(fmt::format("`,` or `{}`", close));
    }
  }

  // A bracketed list: "[" element,* "]" as one nesting level.
  template <typename Element>
  bool list(std::string_view expected, Element element) {
    if (!lex_.skip_trivia()) return false;
    const std::size_t at = lex_.offset();
    if (!lex_.consume('[')) return unexpected_value(expected);
    if (!enter(at)) return false;
    if (!elements(']', element)) return false;
    leave();
    return true;
  }

  // The name of a variant of `type`; `index` is its table position.
  bool variant(const EnumType& type, std::size_t& index, std::string_view& name) {
    if (!lex_.skip_trivia()) return false;
    const std::size_t at = lex_.offset();
    if (!lex_.at_identifier()) return unexpected_value(type.expected, "variant identifier");
    name = lex_.identifier();
    for (index = 0; index < type.variants.size(); ++index)
      if (type.variants[index] == name) return true;
    std::string names;
    for (std::string_view v : type.variants) names += fmt::format("{}`{}`", names.empty() ? "" : ", ", v);
    return fail(at, fmt::format("unknown variant `{}`, expected one of {}", name, names));
  }

  bool at_payload() {
    if (!lex_.skip_trivia()) return false;
    return lex_.peek() == '(';
  }

  bool unit_payload(const EnumType& type, std::string_view name) {
    if (!lex_.skip_trivia()) return false;
    if (lex_.peek() == '(')
      return fail(lex_.offset(), fmt::format("invalid type: tuple variant, expected unit variant {}::{}", type.name, name));
    return true;
  }

  // "(" value ","? ")" for one-value variants.
  template <typename Value>
  bool newtype_payload(const EnumType& type, std::string_view name, Value value) {
    if (!lex_.skip_trivia()) return false;
    const std::size_t at = lex_.offset();
    if (!lex_.consume('('))
      return fail(at, fmt::format("invalid type: unit variant, expected newtype variant {}::{}", type.name, name));
    if (!enter(at) || !value() || !lex_.skip_trivia()) return false;
    lex_.consume(',');
    if (!expect(')')) return false;
    leave();
    return true;
  }

  // "(" text_value "," text_value ","? ")" for two-value variants; a wrong
  // count is reported where it shows: at ")" when short, at the third value.
  bool pair_payload(const EnumType& type, std::string_view name, TextValue& first, TextValue& second) {
    const std::string expected = fmt::format("tuple variant {}::{} with 2 elements", type.name, name);
    if (!lex_.skip_trivia()) return false;
    const std::size_t at = lex_.offset();
    if (!lex_.consume('(')) return fail(at, fmt::format("invalid type: unit variant, expected {}", expected));
    if (!enter(at)) return false;
    std::size_t count = 0;
    const bool ok = elements(')', [&] {
      if (count == 2) return fail(lex_.offset(), fmt::format("invalid length 3, expected {}", expected));
      return text_value(count++ == 0 ? first : second);
    });
    if (!ok) return false;
    if (count < 2) return fail(lex_.offset() - 1, fmt::format("invalid length {}, expected {}", count, expected));
    leave();
    return true;
  }

  // --- productions -------------------------------------------------------

  // rule_list = "[" (rule ("," rule)* ","?)? "]"
  bool rule_list(std::vector<Rule>& out) {
    return list("a list of rules", [&] {
      Rule r;
      if (!rule(r)) return false;
      out.push_back(std::move(r));
      return true;
    });
  }

  // rule = "Rule"? "(" (field ("," field)* ","?)? ")"
  bool rule(Rule& out) {
    if (!lex_.skip_trivia()) return false;
    const std::size_t name_at = lex_.offset();
    if (lex_.at_identifier()) {
      const std::string_view name = lex_.identifier();
      if (name != "Rule") return fail(name_at, fmt::format("unexpected record name `{}`, expected `Rule`", name));
      if (!expect('(')) return false;
    } else if (!lex_.consume('(')) {
      return unexpected_value("struct Rule");
    }
    if (!enter(lex_.offset() - 1)) return false;
    bool have_when = false, have_actions = false, have_on_error = false;
    const bool ok = elements(')', [&] { return rule_field(out, have_when, have_actions, have_on_error); });
    if (!ok) return false;
    const std::size_t close_at = lex_.offset() - 1;
    if (!have_when) return fail(close_at, "missing field `when`");
    if (!have_actions) return fail(close_at, "missing field `actions`");
    leave();
    return true;
  }

  // rule_field = identifier ":" value; "actions" and "do" are one field.
  bool rule_field(Rule& out, bool& have_when, bool& have_actions, bool& have_on_error) {
    const std::size_t at = lex_.offset();
    if (!lex_.at_identifier()) return unexpected_value("field identifier");
    const std::string_view name = lex_.identifier();
    if (!expect(':')) return false;
    auto once = [&](bool& seen, std::string_view field) {
      if (seen) return fail(at, fmt::format("duplicate field `{}`", field));
      seen = true;
      return true;
    };
    if (name == "when") return once(have_when, "when") && when(out.when);
    if (name == "actions" || name == "do") return once(have_actions, "actions") && action_list(out.actions);
    if (name == "on_error") return once(have_on_error, "on_error") && on_error(out.on_error);
    return ignored_value();
  }

  // when = "All" "(" when_list ")" | "Any" "(" when_list ")" | "Not" "(" when ")"
  //      | "True" | "False" | "Match" pair | "PartMatch" pair
  bool when(When& out) {
    std::size_t index = 0;
    std::string_view name;
    if (!variant(kWhen, index, name)) return false;
    switch (index) {
      case 0:
      case 1: {
        std::vector<When> conditions;
        if (!newtype_payload(kWhen, name, [&] { return when_list(conditions); })) return false;
        if (index == 0)
          out.value = All{std::move(conditions)};
        else
          out.value = Any{std::move(conditions)};
        return true;
      }
      case 2: {
        When inner;
        if (!newtype_payload(kWhen, name, [&] { return when(inner); })) return false;
        out.value = Not{std::make_shared<const When>(std::move(inner))};
        return true;
      }
      case 3:
        out.value = True{};
        return unit_payload(kWhen, name);
      case 4:
        out.value = False{};
        return unit_payload(kWhen, name);
      case 5: {
        Match m;
        if (!pair_payload(kWhen, name, m.key, m.pattern)) return false;
        out.value = std::move(m);
        return true;
      }
      default: {
        PartMatch m;
        if (!pair_payload(kWhen, name, m.key, m.pattern)) return false;
        out.value = std::move(m);
        return true;
      }
    }
  }

  // when_list = "[" (when ("," when)* ","?)? "]"
  bool when_list(std::vector<When>& out) {
    return list("a sequence", [&] {
      When w;
      if (!when(w)) return false;
      out.push_back(std::move(w));
      return true;
    });
  }

  // action_list = "[" (action ("," action)* ","?)? "]"
  bool action_list(std::vector<Action>& out) {
    return list("a sequence", [&] {
      Action a;
      if (!action(a)) return false;
      out.push_back(std::move(a));
      return true;
    });
  }

  // action = "Command" "(" text_value ")" | "Add" pair | "Set" pair
  //        | "Unset" "(" text_value ")" | "UseProvider" pair
  bool action(Action& out) {
    std::size_t index = 0;
    std::string_view name;
    if (!variant(kAction, index, name)) return false;
    switch (index) {
      case 0: {
        action::Command c;
        if (!newtype_payload(kAction, name, [&] { return text_value(c.command); })) return false;
        out.value = std::move(c);
        return true;
      }
      case 1: {
        action::Add a;
        if (!pair_payload(kAction, name, a.key, a.value)) return false;
        out.value = std::move(a);
        return true;
      }
      case 2: {
        action::Set s;
        if (!pair_payload(kAction, name, s.key, s.value)) return false;
        out.value = std::move(s);
        return true;
      }
      case 3: {
        action::Unset u;
        if (!newtype_payload(kAction, name, [&] { return text_value(u.key); })) return false;
        out.value = std::move(u);
        return true;
      }
      default: {
        action::UseProvider p;
        if (!pair_payload(kAction, name, p.key, p.command)) return false;
        out.value = std::move(p);
        return true;
      }
    }
  }

  // on_error = "Continue" | "Log" | "StopFile" | "StopAll"
  bool on_error(OnError& out) {
    std::size_t index = 0;
    std::string_view name;
    if (!variant(kOnError, index, name)) return false;
    out = static_cast<OnError>(index);
    return unit_payload(kOnError, name);
  }

  // text_value = string | char | "[" string ","? "]"
  bool text_value(TextValue& out) {
    if (!lex_.skip_trivia()) return false;
    if (lex_.at_string()) {
      out.kind = TextValue::Kind::Literal;
      return lex_.string(out.text);
    }
    if (lex_.at_char()) {
      out.kind = TextValue::Kind::Literal;
      return lex_.char_literal(out.text);
    }
    const std::size_t at = lex_.offset();
    if (!lex_.consume('[')) return unexpected_value(kTextValueExpected);
    if (!enter(at) || !lex_.skip_trivia()) return false;
    if (lex_.peek() == ']') return fail(at, fmt::format("invalid length 0, expected {}", kTextValueExpected));
    if (!lex_.at_string()) return unexpected_value("a string");
    out.kind = TextValue::Kind::Template;
    if (!lex_.string(out.text) || !lex_.skip_trivia()) return false;
    if (lex_.consume(',')) {
      if (!lex_.skip_trivia()) return false;
      if (lex_.peek() != ']')
        return fail(lex_.offset(), fmt::format("invalid length 2, expected {}", kTextValueExpected));
    }
    if (!expect(']')) return false;
    leave();
    return true;
  }

  // ignored_value = string | char | number | list | map | group
  //               | identifier group?
  // The value of a field the rules do not know: read fully, then dropped.
  bool ignored_value() {
    if (!lex_.skip_trivia()) return false;
    const std::size_t at = lex_.offset();
    if (lex_.at_string() || lex_.at_char()) {
      std::string scratch;
      return lex_.at_string() ? lex_.string(scratch) : lex_.char_literal(scratch);
    }
    if (lex_.at_number()) {
      std::string_view text;
      bool is_float = false;
      return lex_.number(text, is_float);
    }
    if (lex_.at_identifier()) {
      lex_.identifier();
      if (!at_payload()) return !lex_.failure();
      return ignored_group();
    }
    if (lex_.consume('[')) {
      if (!enter(at) || !elements(']', [&] { return ignored_value(); })) return false;
      leave();
      return true;
    }
    if (lex_.consume('{')) {
      if (!enter(at)) return false;
      const bool ok = elements('}', [&] { return ignored_value() && expect(':') && ignored_value(); });
      if (!ok) return false;
      leave();
      return true;
    }
    if (lex_.peek() == '(') return ignored_group();
    return unexpected_value("a value");
  }

  // group = "(" ")" | "(" value,* ")" | "(" (identifier ":" value),* ")"
  bool ignored_group() {
    const std::size_t at = lex_.offset();
    lex_.consume('(');
    if (!enter(at) || !lex_.skip_trivia()) return false;
    bool is_struct = false;
    if (lex_.at_identifier()) {
      const std::size_t start = lex_.offset();
      lex_.identifier();
      if (!lex_.skip_trivia()) return false;
      is_struct = lex_.peek() == ':';
      lex_.reset(start);
    }
    const bool ok = is_struct ? elements(')',
                                         [&] {
                                           if (!lex_.at_identifier()) return unexpected_value("field identifier");
                                           lex_.identifier();
                                           return expect(':') && ignored_value();
                                         })
                              : elements(')', [&] { return ignored_value(); });
    if (!ok) return false;
    leave();
    return true;
  }

  Lexer lex_;
  std::size_t depth_ = 0;
};

template <typename T, typename Production>
Result<T> read(std::string_view text, Production production) {
  if (const auto bad = notation::first_invalid_utf8(text))
    return RuleError::parse(notation::position_of(text, *bad), std::nullopt, "invalid UTF-8");
  Reader reader(text);
  T value{};
  if (!production(reader, value)) {
    const notation::Failure* f = reader.failure();
    if (f == nullptr) return RuleError::parse(Position{}, std::nullopt, "unreadable rule notation");
    return RuleError::parse(notation::position_of(text, f->offset), std::nullopt, f->description);
  }
  return value;
}

}  // namespace

Result<std::vector<Rule>> parse_rules(std::string_view text) {
  return read<std::vector<Rule>>(text, [](Reader& r, std::vector<Rule>& out) { return r.rule_file(out); });
}

Result<When> parse_condition(std::string_view text) {
  return read<When>(text, [](Reader& r, When& out) { return r.condition_text(out); });
}

}  // namespace rule
