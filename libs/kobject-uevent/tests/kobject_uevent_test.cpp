#include "kobject_uevent/kobject_uevent.hpp"

#include <gtest/gtest.h>

namespace kobject_uevent {
namespace {

using namespace std::string_literals;
using Props = std::map<std::string, std::string>;

KobjectUevent ev(std::initializer_list<KobjectUevent::Properties::value_type> pairs) {
  return KobjectUevent(KobjectUevent::Properties(pairs));
}

Props props_of(const KobjectUevent& u) { return Props(u.properties().begin(), u.properties().end()); }

TEST(KobjectUeventParse, SplitsSegmentsIntoPairs) {
  const struct {
    std::string payload;
    Props expected;
  } cases[] = {
      {"", {}},
      {"add@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=tty\0SEQNUM=42\0"s,
       {{"ACTION", "add"}, {"DEVPATH", "/devices/x"}, {"SUBSYSTEM", "tty"}, {"SEQNUM", "42"}}},
      {"add@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=tty\0SEQNUM=42"s,
       {{"ACTION", "add"}, {"DEVPATH", "/devices/x"}, {"SUBSYSTEM", "tty"}, {"SEQNUM", "42"}}},
      {"A=1\0\0\0B=2"s, {{"A", "1"}, {"B", "2"}}},
      {"\0\0A=1"s, {{"A", "1"}}},
      {"A=1\0A=2\0"s, {{"A", "2"}}},
      {"X==y"s, {{"X", "=y"}}},
      {"=v"s, {{"", "v"}}},
      {"K="s, {{"K", ""}}},
      {"no equals sign\0K=v"s, {{"K", "v"}}},
      {"hdr=with@equals\0"s, {{"hdr", "with@equals"}}},
      {"V=a\xFFz"s, {{"V", "a\xEF\xBF\xBDz"}}},
      {"\xFE=1"s, {{"\xEF\xBF\xBD", "1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(to_string(KobjectUevent::parse(c.payload)));
    EXPECT_EQ(props_of(KobjectUevent::parse(c.payload)), c.expected);
  }
}

TEST(KobjectUeventParse, LargeDatagramKeepsEveryProperty) {
  std::string payload = "add@/devices/big";
  for (int i = 0; i < 2000; ++i) payload += "\0KEY"s + std::to_string(i) + "=" + std::string(20, 'v');
  const auto u = KobjectUevent::parse(payload);
  EXPECT_EQ(u.properties().size(), 2000u);
  EXPECT_EQ(u.properties().at("KEY1999"), std::string(20, 'v'));
}

TEST(KobjectUeventAccessors, DecimalRule) {
  const struct {
    std::string text;
    std::optional<std::uint32_t> expected;
  } cases[] = {
      {"8", 8}, {"+8", 8}, {"0", 0}, {"4294967295", 4294967295u}, {"007", 7},
      {"-1", std::nullopt}, {" 8", std::nullopt}, {"8 ", std::nullopt}, {"0x8", std::nullopt},
      {"+", std::nullopt}, {"", std::nullopt}, {"4294967296", std::nullopt}, {"++8", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) {
    const KobjectUevent u = ev({{"MAJOR", c.text}, {"MINOR", c.text}});
    EXPECT_EQ(u.major(), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(u.minor(), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(KobjectUevent().major(), std::nullopt);
}

TEST(KobjectUeventAccessors, OctalRule) {
  const struct {
    std::string text;
    std::optional<std::uint16_t> expected;
  } cases[] = {
      {"0666", 0666}, {"0660", 0660}, {"0600", 0600}, {"0177777", 0177777}, {"0+644", 0644},
      {"00", 0}, {"0200000", std::nullopt}, {"0", std::nullopt}, {"0-644", std::nullopt},
      {"660", std::nullopt}, {"0o660", std::nullopt}, {"", std::nullopt}, {"0668", std::nullopt},
      {"0+", std::nullopt}, {"+0644", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ev({{"DEVMODE", c.text}}).devmode(), c.expected) << '"' << c.text << '"';
  }
}

TEST(KobjectUeventAccessors, TextAccessorsAreExact) {
  const KobjectUevent u = ev({{"ACTION", "ADD"}, {"DEVPATH", "/d"}, {"SUBSYSTEM", "block"}, {"DEVNAME", "sda"}});
  EXPECT_EQ(u.action(), "ADD");
  EXPECT_NE(u.action(), "add");
  EXPECT_EQ(u.devpath(), "/d");
  EXPECT_EQ(u.subsystem(), "block");
  EXPECT_EQ(u.devname(), "sda");
  EXPECT_EQ(KobjectUevent().action(), std::nullopt);
}

TEST(KobjectUeventPrint, EscapesQuotesBackslashesAndControls) {
  const struct {
    std::string key, value, printed;
  } cases[] = {
      {"ACTION", "add", R"(KobjectUevent({"ACTION": "add"}))"},
      {"Q", "say \"hi\"", R"(KobjectUevent({"Q": "say \"hi\""}))"},
      {"B", "a\\b", R"(KobjectUevent({"B": "a\\b"}))"},
      {"C", "l1\nl2\r\t", R"(KobjectUevent({"C": "l1\nl2\r\t"}))"},
      {"N", "a\0b"s, R"(KobjectUevent({"N": "a\0b"}))"},
      {"E", "\x1b[0m\x7f", R"(KobjectUevent({"E": "\u{1b}[0m\u{7f}"}))"},
      {"U", "caf\xC3\xA9 \xC2\x85", R"(KobjectUevent({"U": "caf)" "\xC3\xA9" R"( \u{85}"}))"},
      {"", "", R"(KobjectUevent({"": ""}))"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_string(ev({{c.key, c.value}})), c.printed);
  EXPECT_EQ(to_string(KobjectUevent()), "KobjectUevent({})");
  EXPECT_EQ(fmt::format("{}", ev({{"A", "1"}})), R"(KobjectUevent({"A": "1"}))");
}

TEST(KobjectUeventPrint, SeparatesPairsWithCommaAndBlank) {
  const std::string printed = to_string(ev({{"A", "1"}, {"B", "2"}}));
  EXPECT_TRUE(printed == R"(KobjectUevent({"A": "1", "B": "2"}))" ||
              printed == R"(KobjectUevent({"B": "2", "A": "1"}))")
      << printed;
}

}  // namespace
}  // namespace kobject_uevent
