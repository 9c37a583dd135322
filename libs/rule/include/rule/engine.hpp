#pragma once
// The rule engine: a device's rule Environment, template expansion, condition
// evaluation and the rule pass.
//
// Environment is shared between the device registry, event tasks and IPC
// readers; every operation holds its internal readers-writer lock for one
// lookup or change only, so callers on any thread may use it concurrently.
// run_rules suspends only while a command runs; it never blocks a thread.

#include <chrono>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "korvid/text_map.hpp"
#include "rule/error.hpp"
#include "rule/model.hpp"

namespace rule {

enum class TimeoutKill { Leave, Terminate, Kill };

struct EngineSettings {
  std::vector<std::string> shell{"/bin/sh", "-c"};
  std::chrono::milliseconds timeout{std::chrono::seconds(30)};
  TimeoutKill timeout_kill = TimeoutKill::Leave;
};

class Environment {
 public:
  // Default settings are shared by every environment that uses them.
  Environment();
  explicit Environment(EngineSettings settings);

  const EngineSettings& settings() const { return *settings_; }

  std::optional<std::string> get(std::string_view key) const;
  bool contains(std::string_view key) const;
  void set(std::string key, std::string value);
  void unset(std::string_view key);
  // Appends value and one NUL to the property (empty when absent). The read
  // and the write are two separately locked steps.
  void add(std::string key, std::string_view value);
  // A copy of all properties, for diagnostics and tests.
  std::unordered_map<std::string, std::string> snapshot() const;

 private:
  std::shared_ptr<const EngineSettings> settings_;
  mutable std::shared_mutex mutex_;
  korvid::TextMap<std::string> properties_;
};

// The text of a Literal, or the expanded Template.
Result<std::string> expand(const TextValue& value, const Environment& env);

Result<bool> evaluate(const When& condition, const Environment& env);

// Compiles the Literal patterns of a condition (and of every rule's
// condition) once, ahead of evaluation. The outcome of evaluate is the same as
// without it; a pattern that does not compile is left to fail at evaluation.
void precompile(When& condition);
void precompile(std::vector<Rule>& rules);

// Runs every rule of every file in order over env, applying each rule's
// on_error policy; failures are logged at WARN (target rule::engine).
boost::asio::awaitable<void> run_rules(Environment& env, std::shared_ptr<const RuleSet> rules);

}  // namespace rule
