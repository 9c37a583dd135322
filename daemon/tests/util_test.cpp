#include "util.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>

#include "korvid/log.hpp"

namespace korvid::util {
namespace {

// Captures the WARN lines of korvid::util, message part only.
class UtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(out_), "korvid::util=debug");
  }
  std::vector<std::string> messages() {
    std::vector<std::string> result;
    std::istringstream in(out_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line.substr(line.find("korvid::util: ") + 14));
    out_.str("");
    return result;
  }
  std::ostringstream out_;
};

TEST_F(UtilTest, ParseMode) {
  const struct {
    std::optional<std::string> text;
    std::optional<std::uint16_t> mode;
  } cases[] = {
      {std::nullopt, std::nullopt}, {"0o660", 0660}, {"0o0660", 0660}, {"0o+644", 0644},
      {"0o177777", 0177777}, {"0o0", 0}, {"0o200000", std::nullopt}, {"0660", std::nullopt},
      {"660", std::nullopt}, {"0o", std::nullopt}, {"0o+", std::nullopt}, {"0o-1", std::nullopt},
      {"0o8", std::nullopt}, {"0o 660", std::nullopt}, {"", std::nullopt},
      {"0o7777777777777777777777", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_mode(c.text), c.mode) << c.text.value_or("<none>");
    const auto warnings = messages();
    if (!c.text || c.mode) {
      EXPECT_TRUE(warnings.empty());
    } else {
      EXPECT_EQ(warnings, std::vector<std::string>{"Invalid mode \"" + *c.text + "\", fallbacking to the default value"});
    }
  }
}

TEST_F(UtilTest, ResolveUserAndGroup) {
  const struct {
    std::optional<std::string> text;
    std::optional<std::uint32_t> id;
    bool warns;
  } cases[] = {
      {std::nullopt, std::nullopt, false},
      {"1000", 1000, false},
      {"+0", 0, false},
      {"4294967295", 4294967295u, false},
      {"root", 0, false},
      {"-1", 0, true},
      {"", 0, true},
      {"no-such-account-korvid", 0, true},
      {std::string("root\0x", 6), 0, true},
  };
  for (const auto& c : cases) {
    const std::string shown = c.text.value_or("<none>");
    EXPECT_EQ(resolve_user(c.text), c.id) << shown;
    auto warnings = messages();
    EXPECT_EQ(warnings, c.warns ? std::vector<std::string>{"Unrecognized user \"" + *c.text + "\", fallbacking to root"}
                                : std::vector<std::string>{})
        << shown;
    EXPECT_EQ(resolve_group(c.text), c.id) << shown;
    warnings = messages();
    EXPECT_EQ(warnings, c.warns ? std::vector<std::string>{"Unrecognized group \"" + *c.text + "\", fallbacking to root"}
                                : std::vector<std::string>{})
        << shown;
  }
}

}  // namespace
}  // namespace korvid::util
