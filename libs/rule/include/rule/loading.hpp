#pragma once
// Finding and reading rule files. Every function here blocks on the file
// system and holds no lock; they may run on any thread, also concurrently.
//
// load_rule_set never fails: each unreadable directory, entry or file is
// logged on target rule::engine and skipped, and what could be read is
// returned in directory order, then listing order within a directory.

#include <filesystem>
#include <vector>

#include "rule/error.hpp"
#include "rule/model.hpp"

namespace rule {

// Reads one file as UTF-8 and parses it. Io errors carry the OS text
// ("Is a directory (os error 21)") or "invalid data" for text that is not
// UTF-8; Parse errors carry the reader's position and description.
Result<RuleFile> read_rule_file(const std::filesystem::path& path);

// The rule directories in load order: the installation prefix's
// share/device/rules (when the executable's prefix can be found), each piece
// of KORVID_EXTRA_RULE_DIRS split at every ":", then the four fixed system
// directories. Duplicates are kept.
std::vector<std::filesystem::path> rule_directories();

// Reads every non-hidden entry of each directory as a rule file.
RuleSet load_rule_set(const std::vector<std::filesystem::path>& directories);

}  // namespace rule
