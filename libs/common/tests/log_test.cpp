#include "korvid/log.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <regex>
#include <sstream>

namespace korvid::log {
namespace {

using spdlog::level::level_enum;
namespace lvl = spdlog::level;

struct FilterCase {
  std::string text;
  std::vector<std::pair<std::string, level_enum>> expected;  // target -> level
  std::vector<std::string> complaints;
};

const std::string kLevelReason =
    "error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", \"debug\", "
    "\"trace\", or a number 0-5";

TEST(LogFilter, DirectivesDecideEachTargetsLevel) {
  const std::vector<FilterCase> cases = {
      {"", {{"korvid", lvl::err}, {"rule::engine", lvl::err}}, {}},
      {"debug", {{"korvid::uevent", lvl::debug}, {"rule::engine", lvl::debug}}, {}},
      {"4", {{"korvid::ipc", lvl::debug}}, {}},
      {"0", {{"korvid", lvl::off}}, {}},
      {"korvid::uevent=debug", {{"korvid::uevent", lvl::debug}, {"korvid", lvl::off}, {"rule::engine", lvl::off}}, {}},
      {"error,korvid::uevent=debug", {{"korvid::uevent", lvl::debug}, {"korvid::device", lvl::err}}, {}},
      {"korvid=warn,korvid::ipc=trace", {{"korvid::ipc", lvl::trace}, {"korvid::util", lvl::warn}, {"rule::engine", lvl::off}}, {}},
      {",,warn,,", {{"korvid", lvl::warn}}, {}},
      {"korvid=loud", {{"korvid", lvl::err}}, {"ignoring `korvid=loud`: " + kLevelReason}},
      {"loud,debug", {{"korvid", lvl::debug}}, {"ignoring `loud`: " + kLevelReason}},
      {"6", {{"korvid", lvl::err}}, {"ignoring `6`: " + kLevelReason}},
      {"DEBUG", {{"korvid", lvl::debug}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ParsedFilter parsed = parse_filter(c.text);
    for (const auto& [target, level] : c.expected) EXPECT_EQ(level_for(parsed.directives, target), level) << target;
    EXPECT_EQ(parsed.complaints, c.complaints);
  }
}

TEST(LogFilter, MalformedDirectiveIsInvalidFilterDirective) {
  for (std::string text : {"=debug", "a=b=c", "korvid[x]=debug"}) {
    const ParsedFilter parsed = parse_filter(text);
    ASSERT_EQ(parsed.complaints.size(), 1u) << text;
    EXPECT_TRUE(parsed.complaints[0].starts_with("ignoring `" + text + "`: invalid filter directive"))
        << parsed.complaints[0];
  }
}

TEST(LogLine, HasTimestampLevelTargetAndMessage) {
  std::ostringstream out;
  install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(out), "korvid::uevent=debug,korvid=warn");
  get(Target::uevent).debug("Received {}", 42);
  get(Target::korvid).warn("careful");
  get(Target::korvid).info("not shown");
  get(Target::device).info("not shown either");
  get(Target::rule_engine).error("no directive matches");
  const std::regex line_re(
      R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z DEBUG korvid::uevent: Received 42\n)"
      R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z  WARN korvid: careful\n)");
  EXPECT_TRUE(std::regex_match(out.str(), line_re)) << out.str();
}

}  // namespace
}  // namespace korvid::log
