#include <mutex>

#include "rule/engine.hpp"

namespace rule {

Environment::Environment(EngineSettings settings) : settings_(std::move(settings)) {}

std::optional<std::string> Environment::get(std::string_view key) const {
  std::shared_lock lock(mutex_);
  auto it = properties_.find(key);
  if (it == properties_.end()) return std::nullopt;
  return it->second;
}

bool Environment::contains(std::string_view key) const {
  std::shared_lock lock(mutex_);
  return properties_.find(key) != properties_.end();
}

void Environment::set(std::string key, std::string value) {
  std::unique_lock lock(mutex_);
  properties_.insert_or_assign(std::move(key), std::move(value));
}

void Environment::unset(std::string_view key) {
  std::unique_lock lock(mutex_);
  auto it = properties_.find(key);
  if (it != properties_.end()) properties_.erase(it);
}

void Environment::add(std::string key, std::string_view value) {
  // Two locked steps on purpose: a concurrent set between them is lost, which
  // is the accepted behaviour of list properties.
  std::string list = get(key).value_or(std::string());
  list += value;
  list += '\0';
  set(std::move(key), std::move(list));
}

std::unordered_map<std::string, std::string> Environment::snapshot() const {
  std::shared_lock lock(mutex_);
  return {properties_.begin(), properties_.end()};
}

}  // namespace rule
