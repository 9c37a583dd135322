#include <mutex>

#include "rule/engine.hpp"

namespace rule {

namespace {

const std::shared_ptr<const EngineSettings>& default_settings() {
  static const auto* settings = new std::shared_ptr<const EngineSettings>(std::make_shared<const EngineSettings>());
  return *settings;
}

}  // namespace

Environment::Environment() : settings_(default_settings()) {}

Environment::Environment(EngineSettings settings)
    : settings_(std::make_shared<const EngineSettings>(std::move(settings))) {}

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
