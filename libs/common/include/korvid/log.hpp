#pragma once
// korvid's log: one line per event on standard output, from any thread.
//
// Every module logs through the logger of its target (`korvid::uevent`,
// `rule::engine`, ...). Until logging is installed every target is silent.
// The filter is fixed at installation: each target gets the level of the
// directive with the longest matching prefix, or `off` when none matches, so
// a disabled line costs one comparison and its arguments are never formatted.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>

namespace korvid::log {

enum class Target { korvid, uevent, device, util, trigger, ipc, rule_engine };

std::string_view target_name(Target target);

// The logger of a target; valid for the life of the process.
spdlog::logger& get(Target target);

// One filter directive: a level alone (no target) or "target=level".
struct Directive {
  std::optional<std::string> target;
  spdlog::level::level_enum level;
  bool operator==(const Directive&) const = default;
};

struct ParsedFilter {
  std::vector<Directive> directives;    // never empty: falls back to `error`
  std::vector<std::string> complaints;  // "ignoring `{}`: {}" lines, no line end
};

ParsedFilter parse_filter(std::string_view text);

// The level the directives give a target: the longest matching prefix wins,
// a level alone matches everything; `off` when nothing matches.
spdlog::level::level_enum level_for(const std::vector<Directive>& directives,
                                    std::string_view target);

enum class InstallError { already_installed };

// Reads KORVID_LOG and NO_COLOR, prints filter complaints on stderr and
// installs the stdout sink. Fails only when logging is already installed.
std::optional<InstallError> install();

// Installs `sink` instead of stdout, with the given filter text; for tests
// that read log lines. Replaces any earlier test sink.
void install_for_tests(std::shared_ptr<spdlog::sinks::sink> sink, std::string_view filter,
                       bool color = false);

// Formats lines as korvid does: UTC time, level field, "target:" message.
std::unique_ptr<spdlog::formatter> make_formatter();

void flush();

}  // namespace korvid::log
