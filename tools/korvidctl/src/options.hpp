#pragma once
// korvidctl's command line: what each subcommand accepts, its help text, and
// the parsing of argv into one command. Pure functions; no I/O.

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvidctl {

// Exit statuses, also listed in the program's help.
enum ExitStatus : int { kSuccess = 0, kFailure = 1, kUsage = 2, kNoDaemon = 3 };

inline constexpr double kDefaultTimeoutSeconds = 120;

struct TriggerCommand {
  std::string scope = "devices";
  std::string action = "add";
  bool settle = false;
  double timeout_seconds = kDefaultTimeoutSeconds;
  bool operator==(const TriggerCommand&) const = default;
};

struct SettleCommand {
  double timeout_seconds = kDefaultTimeoutSeconds;
  bool operator==(const SettleCommand&) const = default;
};

struct ListCommand {
  std::optional<std::string> condition;       // rule-file notation
  std::optional<std::string> json_condition;  // wire JSON form
  bool json = false;
  bool operator==(const ListCommand&) const = default;
};

struct ReloadCommand {
  bool operator==(const ReloadCommand&) const = default;
};

struct VerifyCommand {
  std::vector<std::string> paths;
  bool verbose = false;
  bool operator==(const VerifyCommand&) const = default;
};

using Command = std::variant<TriggerCommand, SettleCommand, ListCommand, ReloadCommand, VerifyCommand>;

// --help: the text goes to stdout and the exit status is 0.
struct HelpRequest {
  std::string text;
  bool operator==(const HelpRequest&) const = default;
};

// The text goes to stderr (message, usage line, pointer to --help); exit 2.
struct UsageError {
  std::string text;
  bool operator==(const UsageError&) const = default;
};

using ParsedArguments = std::variant<Command, HelpRequest, UsageError>;

// `arguments` without the program name.
ParsedArguments parse_arguments(std::span<const std::string_view> arguments);

// A positive, finite number of seconds ("120", "0.5").
std::optional<double> parse_seconds(std::string_view text);

std::chrono::milliseconds to_duration(double seconds);

}  // namespace korvidctl
