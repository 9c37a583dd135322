#include "rule/engine.hpp"

#include <type_traits>
#include <utility>

#include "korvid/log.hpp"
#include "pattern.hpp"
#include "rule/command.hpp"

namespace rule {
namespace {

// Expands into `buffer` only for templates; a literal is viewed in place, so
// evaluating literal keys copies nothing.
Result<std::string_view> expand_view(const TextValue& value, const Environment& env, std::string& buffer) {
  if (value.kind == TextValue::Kind::Literal) return std::string_view(value.text);
  Result<std::string> expanded = expand(value, env);
  if (!expanded) return expanded.error();
  buffer = std::move(*expanded);
  return std::string_view(buffer);
}

template <typename Pattern>
Result<bool> evaluate_pattern(const Pattern& condition, const Environment& env) {
  constexpr bool anchored = std::is_same_v<Pattern, Match>;
  std::string key_buffer;
  Result<std::string_view> key = expand_view(condition.key, env, key_buffer);
  if (!key) return key.error();

  std::optional<CompiledPattern> compiled_now;
  const CompiledPattern* compiled = condition.compiled.get();
  if (!compiled) {
    std::string pattern_buffer;
    Result<std::string_view> pattern = expand_view(condition.pattern, env, pattern_buffer);
    if (!pattern) return pattern.error();
    compiled = &compiled_now.emplace(anchored ? match_expression(*pattern) : std::string(*pattern));
  }
  // A pattern that does not compile fails even when the property is absent.
  if (!compiled->regex.ok()) return RuleError::regex(compiled->regex.error());

  std::optional<std::string> value = env.get(*key);
  if (!value) return false;
  return search(*compiled, *value);
}

// Evaluates every element, even after the outcome is known: a later
// element's error still fails the condition.
template <bool kAll>
Result<bool> evaluate_list(const std::vector<When>& conditions, const Environment& env) {
  bool result = kAll;
  for (const When& condition : conditions) {
    Result<bool> one = evaluate(condition, env);
    if (!one) return one.error();
    if constexpr (kAll)
      result = result && *one;
    else
      result = result || *one;
  }
  return result;
}

template <typename Pattern>
void precompile_pattern(Pattern& condition) {
  if (condition.pattern.kind != TextValue::Kind::Literal) return;
  const std::string& text = condition.pattern.text;
  condition.compiled =
      std::make_shared<const CompiledPattern>(std::is_same_v<Pattern, Match> ? match_expression(text) : text);
}

bool runs_command(const Action& action) {
  return std::holds_alternative<action::Command>(action.value) ||
         std::holds_alternative<action::UseProvider>(action.value);
}

// The actions that only touch properties; they never suspend.
Result<void> perform_property_action(const Action& action, Environment& env) {
  if (const auto* add = std::get_if<action::Add>(&action.value)) {
    Result<std::string> key = expand(add->key, env);
    if (!key) return key.error();
    Result<std::string> value = expand(add->value, env);
    if (!value) return value.error();
    env.add(std::move(*key), *value);
  } else if (const auto* set = std::get_if<action::Set>(&action.value)) {
    Result<std::string> key = expand(set->key, env);
    if (!key) return key.error();
    Result<std::string> value = expand(set->value, env);
    if (!value) return value.error();
    env.set(std::move(*key), std::move(*value));
  } else if (const auto* unset = std::get_if<action::Unset>(&action.value)) {
    Result<std::string> key = expand(unset->key, env);
    if (!key) return key.error();
    env.unset(*key);
  }
  return {};
}

boost::asio::awaitable<Result<void>> perform_command_action(const Action& action, Environment& env) {
  if (const auto* command = std::get_if<action::Command>(&action.value)) {
    Result<std::string> text = expand(command->command, env);
    if (!text) co_return text.error();
    co_return co_await run_command(env.settings(), std::move(*text));
  }
  const auto& provider = std::get<action::UseProvider>(action.value);
  Result<std::string> key = expand(provider.key, env);
  if (!key) co_return key.error();
  Result<std::string> text = expand(provider.command, env);
  if (!text) co_return text.error();
  Result<std::string> output = co_await run_command_for_output(env.settings(), std::move(*text));
  if (!output) co_return output.error();
  env.set(std::move(*key), std::move(*output));
  co_return Result<void>();
}

}  // namespace

Result<std::string> expand(const TextValue& value, const Environment& env) {
  if (value.kind == TextValue::Kind::Literal) return value.text;

  std::string output;
  std::string name;
  bool placeholder_open = false;
  bool closing_pending = false;
  for (char c : value.text) {
    if (closing_pending) {
      if (c != '}') return RuleError::invalid_template();
      output += '}';
      closing_pending = false;
    } else if (!placeholder_open) {
      if (c == '{') {
        placeholder_open = true;
        name.clear();
      } else if (c == '}') {
        closing_pending = true;
      } else {
        output += c;
      }
    } else if (c == '{' && name.empty()) {
      output += '{';
      placeholder_open = false;
    } else if (c == '}') {
      std::optional<std::string> property = env.get(name);
      if (!property) return RuleError::property_not_found(std::move(name));
      output += *property;
      placeholder_open = false;
    } else {
      name += c;
    }
  }
  if (placeholder_open || closing_pending) return RuleError::invalid_template();
  return output;
}

Result<bool> evaluate(const When& condition, const Environment& env) {
  return std::visit(
      [&env](const auto& variant) -> Result<bool> {
        using V = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<V, All>) {
          return evaluate_list<true>(variant.conditions, env);
        } else if constexpr (std::is_same_v<V, Any>) {
          return evaluate_list<false>(variant.conditions, env);
        } else if constexpr (std::is_same_v<V, Not>) {
          // Only hand-built conditions lack the nested one; read it as Not(False).
          if (!variant.condition) return true;
          Result<bool> inner = evaluate(*variant.condition, env);
          if (!inner) return inner.error();
          return !*inner;
        } else if constexpr (std::is_same_v<V, True>) {
          return true;
        } else if constexpr (std::is_same_v<V, False>) {
          return false;
        } else {
          return evaluate_pattern(variant, env);
        }
      },
      condition.value);
}

void precompile(When& condition) {
  std::visit(
      [](auto& variant) {
        using V = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<V, All> || std::is_same_v<V, Any>) {
          for (When& inner : variant.conditions) precompile(inner);
        } else if constexpr (std::is_same_v<V, Not>) {
          // The nested condition is shared and const: compile a private copy.
          if (!variant.condition) return;
          auto copy = std::make_shared<When>(*variant.condition);
          precompile(*copy);
          variant.condition = std::move(copy);
        } else if constexpr (std::is_same_v<V, Match> || std::is_same_v<V, PartMatch>) {
          precompile_pattern(variant);
        }
      },
      condition.value);
}

void precompile(std::vector<Rule>& rules) {
  for (Rule& rule : rules) precompile(rule.when);
}

boost::asio::awaitable<void> run_rules(Environment& env, std::shared_ptr<const RuleSet> rules) {
  if (!rules) co_return;
  for (const RuleFile& file : rules->files) {
    for (const Rule& rule : file.rules) {
      Result<void> outcome;
      Result<bool> applies = evaluate(rule.when, env);
      if (!applies) {
        outcome = applies.error();
      } else if (*applies) {
        for (const Action& action : rule.actions) {
          if (runs_command(action))
            outcome = co_await perform_command_action(action, env);
          else
            outcome = perform_property_action(action, env);
          if (!outcome) break;
        }
      }
      if (outcome || rule.on_error == OnError::Continue) continue;

      korvid::log::get(korvid::log::Target::rule_engine)
          .warn("Rule \"{}\" failed: {}", file.path.native(), outcome.error().text());
      if (rule.on_error == OnError::StopFile) break;
      if (rule.on_error == OnError::StopAll) co_return;
    }
  }
}

}  // namespace rule
