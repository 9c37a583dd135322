#include "options.hpp"

#include <charconv>
#include <cmath>
#include <functional>

#include <fmt/format.h>

#ifndef KORVIDCTL_VERSION
#define KORVIDCTL_VERSION "unknown"
#endif

namespace korvidctl {
namespace {

constexpr std::string_view kProgramHelp = R"(Usage: korvidctl COMMAND [OPTIONS]

Controls the korvid device manager over its local socket.

Commands:
  trigger   make the kernel announce existing devices again (coldplug)
  settle    wait until no known device is being changed or removed
  list      print the registered devices that satisfy a condition
  reload    make the daemon read its rule files again
  verify    check rule files offline; needs no running daemon

Options:
  -h, --help     show this help, or a command's help after the command
  --version      show the version

Run 'korvidctl COMMAND --help' for the options of a command.

Exit status:
  0  success
  1  failure: an error reply, a time-out, or a rule file with errors
  2  usage error
  3  no daemon is listening
)";

struct Subcommand {
  std::string_view name;
  std::string_view usage;
  std::string_view help;  // after the usage line
};

constexpr Subcommand kTrigger{
    "trigger", "korvidctl trigger [--scope devices|all] [--action add|change|remove] [--settle] [--timeout SECONDS]",
    R"(
Makes the kernel announce existing devices again by having korvid write the
action into every "uevent" file below the sysfs tree, so that devices that
were present before the daemon started get their nodes, links and
registrations.

Options:
  --scope devices|all   the sysfs devices directory (default) or all of sysfs
  --action ACTION       add (default), change or remove
  --settle              after the walk, wait until every device the walk
                        announced is registered (for "add"), then until no
                        known device is being changed or removed
  --timeout SECONDS     how long to wait for the daemon in all (default 120);
                        with --settle this includes connecting to a daemon
                        that is still starting
  -h, --help            show this help

The devices to wait for are found by walking the same tree as the daemon,
below KORVID_SYSFS_ROOT (default /sys).
)"};

constexpr Subcommand kSettle{"settle", "korvidctl settle [--timeout SECONDS]", R"(
Waits until no known device is being changed or removed. It does not wait
for additions still in progress; after a coldplug use 'trigger --settle'.

Options:
  --timeout SECONDS   give up after this long, with exit status 1 (default 120)
  -h, --help          show this help
)"};

constexpr Subcommand kList{"list", "korvidctl list [CONDITION] [--json-condition JSON] [--json]", R"(
Prints the device paths of the registered devices that satisfy CONDITION,
one per line. CONDITION is written as in rule files, for example
  'All([Match("SUBSYSTEM", "block"), PartMatch("DEVNAME", "loop")])'
Without a condition every registered device is listed.

Options:
  --json-condition JSON   the condition in the daemon's JSON form instead,
                          for example '{"Match":["SUBSYSTEM","block"]}'
  --json                  print the result as one JSON array
  -h, --help              show this help
)"};

constexpr Subcommand kReload{"reload", "korvidctl reload", R"(
Makes the daemon read its rule files again. Problems in the files are
reported in the daemon's log; check files beforehand with 'korvidctl verify'.

Options:
  -h, --help   show this help
)"};

constexpr Subcommand kVerify{"verify", "korvidctl verify [--verbose] FILE|DIR...", R"(
Checks rule files without a running daemon, with the daemon's own reader.
Every non-hidden regular file in a DIR is checked. Each error is printed on
stderr as FILE:LINE:COLUMN: message (or FILE: message when the file cannot be
read). The exit status is 1 when any file has errors.

Options:
  --verbose    print "FILE: ok" for every file without errors
  -h, --help   show this help
)"};

constexpr const Subcommand* kSubcommands[] = {&kTrigger, &kSettle, &kList, &kReload, &kVerify};

std::string help_text(const Subcommand& sub) { return fmt::format("Usage: {}\n{}", sub.usage, sub.help); }

UsageError usage_error(const Subcommand& sub, std::string_view message) {
  return {fmt::format("korvidctl: {}\nUsage: {}\nRun 'korvidctl {} --help' for details.\n", message, sub.usage,
                      sub.name)};
}

UsageError program_usage_error(std::string_view message) {
  return {fmt::format("korvidctl: {}\nUsage: korvidctl COMMAND [OPTIONS]\nRun 'korvidctl --help' for the commands.\n",
                      message)};
}

// Walks the arguments of one subcommand: options with their values (as
// "--name value" or "--name=value") and positional arguments, "--" ending
// the options.
class ArgumentReader {
 public:
  ArgumentReader(const Subcommand& sub, std::span<const std::string_view> arguments)
      : sub_(sub), arguments_(arguments) {}

  // Calls on_option(name, value_getter) and on_positional(text) in order;
  // the first error (or help request) ends the walk.
  std::optional<ParsedArguments> read(
      const std::function<std::optional<UsageError>(std::string_view name, bool has_inline,
                                                     std::string_view inline_value)>& on_option,
      const std::function<std::optional<UsageError>(std::string_view)>& on_positional) {
    bool options_ended = false;
    while (next_ < arguments_.size()) {
      const std::string_view argument = arguments_[next_++];
      if (!options_ended && argument == "--") {
        options_ended = true;
        continue;
      }
      if (!options_ended && (argument == "-h" || argument == "--help")) return HelpRequest{help_text(sub_)};
      if (!options_ended && argument.size() > 1 && argument.front() == '-') {
        std::string_view name = argument;
        std::string_view inline_value;
        const auto equals = argument.find('=');
        const bool has_inline = argument.starts_with("--") && equals != std::string_view::npos;
        if (has_inline) {
          name = argument.substr(0, equals);
          inline_value = argument.substr(equals + 1);
        }
        if (auto error = on_option(name, has_inline, inline_value)) return *error;
        continue;
      }
      if (auto error = on_positional(argument)) return *error;
    }
    return std::nullopt;
  }

  // The value of an option that takes one.
  std::variant<std::string_view, UsageError> value(std::string_view name, bool has_inline,
                                                   std::string_view inline_value) {
    if (has_inline) return inline_value;
    if (next_ >= arguments_.size()) return usage_error(sub_, fmt::format("option '{}' needs a value", name));
    return arguments_[next_++];
  }

  UsageError unknown(std::string_view name) {
    return usage_error(sub_, fmt::format("unknown option '{}' for '{}'", name, sub_.name));
  }
  UsageError no_value(std::string_view name) {
    return usage_error(sub_, fmt::format("option '{}' takes no value", name));
  }

 private:
  const Subcommand& sub_;
  std::span<const std::string_view> arguments_;
  std::size_t next_ = 0;
};

// Reads the value of option `name` into `apply`; an error when missing.
template <typename Apply>
std::optional<UsageError> with_value(ArgumentReader& reader, std::string_view name, bool has_inline,
                                     std::string_view inline_value, Apply apply) {
  auto value = reader.value(name, has_inline, inline_value);
  if (auto* error = std::get_if<UsageError>(&value)) return *error;
  return apply(std::get<std::string_view>(value));
}

ParsedArguments parse_trigger(std::span<const std::string_view> arguments) {
  TriggerCommand command;
  ArgumentReader reader(kTrigger, arguments);
  auto outcome = reader.read(
      [&](std::string_view name, bool has_inline, std::string_view inline_value) -> std::optional<UsageError> {
        if (name == "--scope") {
          return with_value(reader, name, has_inline, inline_value, [&](std::string_view v) -> std::optional<UsageError> {
            if (v != "devices" && v != "all")
              return usage_error(kTrigger, fmt::format("invalid scope '{}' (use devices or all)", v));
            command.scope = v;
            return std::nullopt;
          });
        }
        if (name == "--action") {
          return with_value(reader, name, has_inline, inline_value, [&](std::string_view v) -> std::optional<UsageError> {
            if (v != "add" && v != "change" && v != "remove")
              return usage_error(kTrigger, fmt::format("invalid action '{}' (use add, change or remove)", v));
            command.action = v;
            return std::nullopt;
          });
        }
        if (name == "--timeout") {
          return with_value(reader, name, has_inline, inline_value, [&](std::string_view v) -> std::optional<UsageError> {
            const auto seconds = parse_seconds(v);
            if (!seconds) return usage_error(kTrigger, fmt::format("invalid time-out '{}' (a number of seconds above 0)", v));
            command.timeout_seconds = *seconds;
            return std::nullopt;
          });
        }
        if (name == "--settle") {
          if (has_inline) return reader.no_value(name);
          command.settle = true;
          return std::nullopt;
        }
        return reader.unknown(name);
      },
      [&](std::string_view text) -> std::optional<UsageError> {
        return usage_error(kTrigger, fmt::format("unexpected argument '{}'", text));
      });
  if (outcome) return *outcome;
  return Command{command};
}

ParsedArguments parse_settle(std::span<const std::string_view> arguments) {
  SettleCommand command;
  ArgumentReader reader(kSettle, arguments);
  auto outcome = reader.read(
      [&](std::string_view name, bool has_inline, std::string_view inline_value) -> std::optional<UsageError> {
        if (name == "--timeout") {
          return with_value(reader, name, has_inline, inline_value, [&](std::string_view v) -> std::optional<UsageError> {
            const auto seconds = parse_seconds(v);
            if (!seconds) return usage_error(kSettle, fmt::format("invalid time-out '{}' (a number of seconds above 0)", v));
            command.timeout_seconds = *seconds;
            return std::nullopt;
          });
        }
        return reader.unknown(name);
      },
      [&](std::string_view text) -> std::optional<UsageError> {
        return usage_error(kSettle, fmt::format("unexpected argument '{}'", text));
      });
  if (outcome) return *outcome;
  return Command{command};
}

ParsedArguments parse_list(std::span<const std::string_view> arguments) {
  ListCommand command;
  ArgumentReader reader(kList, arguments);
  auto outcome = reader.read(
      [&](std::string_view name, bool has_inline, std::string_view inline_value) -> std::optional<UsageError> {
        if (name == "--json-condition") {
          return with_value(reader, name, has_inline, inline_value, [&](std::string_view v) -> std::optional<UsageError> {
            command.json_condition = std::string(v);
            return std::nullopt;
          });
        }
        if (name == "--json") {
          if (has_inline) return reader.no_value(name);
          command.json = true;
          return std::nullopt;
        }
        return reader.unknown(name);
      },
      [&](std::string_view text) -> std::optional<UsageError> {
        if (command.condition) return usage_error(kList, fmt::format("unexpected argument '{}' (one condition only)", text));
        command.condition = std::string(text);
        return std::nullopt;
      });
  if (outcome) return *outcome;
  if (command.condition && command.json_condition)
    return usage_error(kList, "give the condition either as CONDITION or with --json-condition, not both");
  return Command{command};
}

ParsedArguments parse_reload(std::span<const std::string_view> arguments) {
  ArgumentReader reader(kReload, arguments);
  auto outcome = reader.read(
      [&](std::string_view name, bool, std::string_view) -> std::optional<UsageError> { return reader.unknown(name); },
      [&](std::string_view text) -> std::optional<UsageError> {
        return usage_error(kReload, fmt::format("unexpected argument '{}'", text));
      });
  if (outcome) return *outcome;
  return Command{ReloadCommand{}};
}

ParsedArguments parse_verify(std::span<const std::string_view> arguments) {
  VerifyCommand command;
  ArgumentReader reader(kVerify, arguments);
  auto outcome = reader.read(
      [&](std::string_view name, bool has_inline, std::string_view) -> std::optional<UsageError> {
        if (name == "--verbose") {
          if (has_inline) return reader.no_value(name);
          command.verbose = true;
          return std::nullopt;
        }
        return reader.unknown(name);
      },
      [&](std::string_view text) -> std::optional<UsageError> {
        command.paths.emplace_back(text);
        return std::nullopt;
      });
  if (outcome) return *outcome;
  if (command.paths.empty()) return usage_error(kVerify, "no rule file or directory given");
  return Command{command};
}

const Subcommand* find_subcommand(std::string_view name) {
  for (const Subcommand* sub : kSubcommands) {
    if (sub->name == name) return sub;
  }
  return nullptr;
}

}  // namespace

std::optional<double> parse_seconds(std::string_view text) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  // The upper bound keeps the conversion to milliseconds far from overflow.
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > 1e9) return std::nullopt;
  return seconds;
}

std::chrono::milliseconds to_duration(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

ParsedArguments parse_arguments(std::span<const std::string_view> arguments) {
  if (arguments.empty()) return program_usage_error("no command given");
  const std::string_view first = arguments.front();
  const auto rest = arguments.subspan(1);
  if (first == "-h" || first == "--help") return HelpRequest{std::string(kProgramHelp)};
  if (first == "--version") return HelpRequest{"korvidctl " KORVIDCTL_VERSION "\n"};
  if (first == "help") {
    if (rest.empty()) return HelpRequest{std::string(kProgramHelp)};
    if (const Subcommand* sub = find_subcommand(rest.front()); sub != nullptr && rest.size() == 1)
      return HelpRequest{help_text(*sub)};
    return program_usage_error(fmt::format("no help for '{}'", fmt::join(rest, " ")));
  }
  if (first == "trigger") return parse_trigger(rest);
  if (first == "settle") return parse_settle(rest);
  if (first == "list") return parse_list(rest);
  if (first == "reload") return parse_reload(rest);
  if (first == "verify") return parse_verify(rest);
  if (first.starts_with("-")) return program_usage_error(fmt::format("unknown option '{}'", first));
  return program_usage_error(fmt::format("unknown command '{}'", first));
}

}  // namespace korvidctl
