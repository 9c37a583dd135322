#include "options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvidctl {
namespace {

ParsedArguments parse(std::vector<std::string_view> arguments) { return parse_arguments(arguments); }

std::string describe(const std::vector<std::string_view>& arguments) {
  std::string text;
  for (auto argument : arguments) text.append(argument).append(" ");
  return text;
}

TEST(ParseArguments, AcceptedCommandLines) {
  const struct {
    std::vector<std::string_view> arguments;
    Command expected;
  } cases[] = {
      {{"trigger"}, TriggerCommand{}},
      {{"trigger", "--scope", "all", "--action", "change"}, TriggerCommand{"all", "change", false, 120}},
      {{"trigger", "--scope=devices", "--action=remove", "--settle", "--timeout=2.5"},
       TriggerCommand{"devices", "remove", true, 2.5}},
      {{"trigger", "--settle", "--timeout", "30", "--timeout", "1e1"}, TriggerCommand{"devices", "add", true, 10}},
      {{"settle"}, SettleCommand{120}},
      {{"settle", "--timeout", "0.25"}, SettleCommand{0.25}},
      {{"list"}, ListCommand{}},
      {{"list", "--json"}, ListCommand{std::nullopt, std::nullopt, true}},
      {{"list", R"(Match("SUBSYSTEM", "block"))", "--json"},
       ListCommand{R"(Match("SUBSYSTEM", "block"))", std::nullopt, true}},
      {{"list", "--json-condition", R"("True")"}, ListCommand{std::nullopt, R"("True")", false}},
      {{"list", "--json-condition=\"False\""}, ListCommand{std::nullopt, "\"False\"", false}},
      {{"list", "--", "-odd"}, ListCommand{"-odd", std::nullopt, false}},
      {{"reload"}, ReloadCommand{}},
      {{"verify", "a.rules", "dir", "--verbose"}, VerifyCommand{{"a.rules", "dir"}, true}},
      {{"verify", "--", "--help"}, VerifyCommand{{"--help"}, false}},
  };
  for (const auto& c : cases) {
    const auto parsed = parse(c.arguments);
    ASSERT_TRUE(std::holds_alternative<Command>(parsed)) << describe(c.arguments);
    EXPECT_EQ(std::get<Command>(parsed), c.expected) << describe(c.arguments);
  }
}

TEST(ParseArguments, UsageErrorsNameTheProblemAndTheUsage) {
  const struct {
    std::vector<std::string_view> arguments;
    std::string expected;
  } cases[] = {
      {{}, "korvidctl: no command given\nUsage: korvidctl COMMAND [OPTIONS]\nRun 'korvidctl --help' for the commands.\n"},
      {{"frobnicate"},
       "korvidctl: unknown command 'frobnicate'\nUsage: korvidctl COMMAND [OPTIONS]\nRun 'korvidctl --help' for the commands.\n"},
      {{"--bogus"},
       "korvidctl: unknown option '--bogus'\nUsage: korvidctl COMMAND [OPTIONS]\nRun 'korvidctl --help' for the commands.\n"},
      {{"list", "--bogus"},
       "korvidctl: unknown option '--bogus' for 'list'\n"
       "Usage: korvidctl list [CONDITION] [--json-condition JSON] [--json]\n"
       "Run 'korvidctl list --help' for details.\n"},
      {{"settle", "--timeout"},
       "korvidctl: option '--timeout' needs a value\nUsage: korvidctl settle [--timeout SECONDS]\n"
       "Run 'korvidctl settle --help' for details.\n"},
      {{"reload", "now"},
       "korvidctl: unexpected argument 'now'\nUsage: korvidctl reload\nRun 'korvidctl reload --help' for details.\n"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse(c.arguments);
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << describe(c.arguments);
    EXPECT_EQ(std::get<UsageError>(parsed).text, c.expected);
  }

  // Every other bad command line is a usage error too; its first line says why.
  const struct {
    std::vector<std::string_view> arguments;
    std::string first_line;
  } more[] = {
      {{"trigger", "--scope", "subsystem"}, "korvidctl: invalid scope 'subsystem' (use devices or all)"},
      {{"trigger", "--action", "Add"}, "korvidctl: invalid action 'Add' (use add, change or remove)"},
      {{"trigger", "--action="}, "korvidctl: invalid action '' (use add, change or remove)"},
      {{"trigger", "--settle=yes"}, "korvidctl: option '--settle' takes no value"},
      {{"trigger", "-s"}, "korvidctl: unknown option '-s' for 'trigger'"},
      {{"trigger", "extra"}, "korvidctl: unexpected argument 'extra'"},
      {{"settle", "--timeout", "0"}, "korvidctl: invalid time-out '0' (a number of seconds above 0)"},
      {{"settle", "--timeout", "-1"}, "korvidctl: invalid time-out '-1' (a number of seconds above 0)"},
      {{"settle", "--timeout", "10s"}, "korvidctl: invalid time-out '10s' (a number of seconds above 0)"},
      {{"trigger", "--timeout", "inf"}, "korvidctl: invalid time-out 'inf' (a number of seconds above 0)"},
      {{"list", "a", "b"}, "korvidctl: unexpected argument 'b' (one condition only)"},
      {{"list", "True", "--json-condition", "\"True\""},
       "korvidctl: give the condition either as CONDITION or with --json-condition, not both"},
      {{"list", "--json=1"}, "korvidctl: option '--json' takes no value"},
      {{"verify"}, "korvidctl: no rule file or directory given"},
      {{"verify", "--verbose"}, "korvidctl: no rule file or directory given"},
      {{"help", "nothing"}, "korvidctl: no help for 'nothing'"},
  };
  for (const auto& c : more) {
    const auto parsed = parse(c.arguments);
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << describe(c.arguments);
    const std::string& text = std::get<UsageError>(parsed).text;
    EXPECT_EQ(text.substr(0, text.find('\n')), c.first_line) << describe(c.arguments);
  }
}

TEST(ParseArguments, HelpForTheProgramAndEachCommand) {
  const auto program = parse({"--help"});
  ASSERT_TRUE(std::holds_alternative<HelpRequest>(program));
  const std::string& text = std::get<HelpRequest>(program).text;
  EXPECT_TRUE(text.starts_with("Usage: korvidctl COMMAND [OPTIONS]\n"));
  EXPECT_NE(text.find("  3  no daemon is listening\n"), std::string::npos) << text;
  EXPECT_EQ(parse({"-h"}), program);
  EXPECT_EQ(parse({"help"}), program);

  const struct {
    std::string_view command;
    std::string usage;
  } commands[] = {
      {"trigger",
       "Usage: korvidctl trigger [--scope devices|all] [--action add|change|remove] [--settle] [--timeout SECONDS]\n"},
      {"settle", "Usage: korvidctl settle [--timeout SECONDS]\n"},
      {"list", "Usage: korvidctl list [CONDITION] [--json-condition JSON] [--json]\n"},
      {"reload", "Usage: korvidctl reload\n"},
      {"verify", "Usage: korvidctl verify [--verbose] FILE|DIR...\n"},
  };
  for (const auto& c : commands) {
    for (const auto& arguments : std::vector<std::vector<std::string_view>>{
             {c.command, "--help"}, {c.command, "-h"}, {"help", c.command}}) {
      const auto parsed = parse(arguments);
      ASSERT_TRUE(std::holds_alternative<HelpRequest>(parsed)) << describe(arguments);
      const std::string& help = std::get<HelpRequest>(parsed).text;
      EXPECT_TRUE(help.starts_with(c.usage)) << help;
      EXPECT_NE(help.find("  -h, --help"), std::string::npos) << help;
    }
  }
}

}  // namespace
}  // namespace korvidctl
