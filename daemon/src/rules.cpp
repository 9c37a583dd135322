#include "rules.hpp"

#include <mutex>
#include <shared_mutex>

#include "rule/engine.hpp"
#include "rule/loading.hpp"

namespace korvid::rules {
namespace {

struct Holder {
  std::shared_mutex mutex;
  std::shared_ptr<const rule::RuleSet> current = std::make_shared<const rule::RuleSet>();
};

Holder& holder() {
  static Holder* instance = new Holder();  // outlives worker threads at exit
  return *instance;
}

}  // namespace

void load_rules() {
  rule::RuleSet set = rule::load_rule_set(rule::rule_directories());
  for (auto& file : set.files) rule::precompile(file.rules);
  auto fresh = std::make_shared<const rule::RuleSet>(std::move(set));
  std::unique_lock lock(holder().mutex);
  holder().current.swap(fresh);
  // The old set is released after the lock, when its last reader lets go.
  lock.unlock();
}

std::shared_ptr<const rule::RuleSet> current_rules() {
  std::shared_lock lock(holder().mutex);
  return holder().current;
}

}  // namespace korvid::rules
