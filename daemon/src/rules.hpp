#pragma once
// The daemon's rule set holder: the current RuleSet behind a readers-writer
// lock, replaced as a whole by load_rules(). Handles taken with
// current_rules() stay valid after a reload, so an event keeps the rules it
// started with. Safe from any thread.

#include <memory>

#include "rule/model.hpp"

namespace korvid::rules {

// Reads every rule directory (blocking) and installs the new set. Problems
// are logged and skipped; the set always installs.
void load_rules();

std::shared_ptr<const rule::RuleSet> current_rules();

}  // namespace korvid::rules
