#pragma once
// The rule types: plain immutable values built when a rule file is read and
// only read afterwards, so they may be shared between threads freely.
//
// A rule file is a list of Rule. `When` is also the filter of ListDevices.

#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace rule {

// The operand of every condition and action argument.
struct TextValue {
  enum class Kind { Literal, Template };
  Kind kind = Kind::Literal;
  std::string text;

  static TextValue literal(std::string text) { return {Kind::Literal, std::move(text)}; }
  static TextValue templated(std::string text) { return {Kind::Template, std::move(text)}; }
  bool operator==(const TextValue&) const = default;
};

// A pattern compiled ahead of evaluation (a Literal pattern, compiled when the
// rule is read). Defined by the engine; absent for Template patterns.
struct CompiledPattern;

struct When;

struct All {
  std::vector<When> conditions;
  bool operator==(const All&) const;
};
struct Any {
  std::vector<When> conditions;
  bool operator==(const Any&) const;
};
struct Not {
  std::shared_ptr<const When> condition;
  bool operator==(const Not&) const;
};
struct True {
  bool operator==(const True&) const = default;
};
struct False {
  bool operator==(const False&) const = default;
};
// The property's whole value matches; `compiled` caches "^" + pattern + "$".
struct Match {
  TextValue key;
  TextValue pattern;
  std::shared_ptr<const CompiledPattern> compiled;
  bool operator==(const Match& o) const { return key == o.key && pattern == o.pattern; }
};
// The pattern matches somewhere in the value; `compiled` caches the pattern.
struct PartMatch {
  TextValue key;
  TextValue pattern;
  std::shared_ptr<const CompiledPattern> compiled;
  bool operator==(const PartMatch& o) const { return key == o.key && pattern == o.pattern; }
};

// Variants in their fixed order: All, Any, Not, True, False, Match, PartMatch.
struct When {
  std::variant<All, Any, Not, True, False, Match, PartMatch> value;
  bool operator==(const When&) const = default;
};

inline bool All::operator==(const All& o) const { return conditions == o.conditions; }
inline bool Any::operator==(const Any& o) const { return conditions == o.conditions; }
inline bool Not::operator==(const Not& o) const {
  if (!condition || !o.condition) return condition == o.condition;
  return *condition == *o.condition;
}

namespace action {
struct Command {
  TextValue command;
  bool operator==(const Command&) const = default;
};
struct Add {
  TextValue key, value;
  bool operator==(const Add&) const = default;
};
struct Set {
  TextValue key, value;
  bool operator==(const Set&) const = default;
};
struct Unset {
  TextValue key;
  bool operator==(const Unset&) const = default;
};
struct UseProvider {
  TextValue key, command;
  bool operator==(const UseProvider&) const = default;
};
}  // namespace action

// Variants in their fixed order: Command, Add, Set, Unset, UseProvider.
struct Action {
  std::variant<action::Command, action::Add, action::Set, action::Unset, action::UseProvider> value;
  bool operator==(const Action&) const = default;
};

enum class OnError { Continue, Log, StopFile, StopAll };

struct Rule {
  When when;
  std::vector<Action> actions;
  OnError on_error = OnError::Log;
  bool operator==(const Rule&) const = default;
};

struct RuleFile {
  std::filesystem::path path;
  std::vector<Rule> rules;
};

// The files in load order; immutable once built and shared by reference.
struct RuleSet {
  std::vector<RuleFile> files;
};

}  // namespace rule
