#include "rule/loading.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "korvid/log.hpp"

namespace rule {
namespace {

namespace fs = std::filesystem;

const std::string kGood = R"([Rule(when: Match("SUBSYSTEM", "block"), actions: [Set("GROUP", "disk")])])";
const std::vector<fs::path> kFixed = {"/share/device/rules", "/usr/share/device/rules", "/etc/device/rules",
                                      "/var/config/device/rules"};

// Sets or unsets KORVID_EXTRA_RULE_DIRS for one test and restores it.
class ExtraDirsVariable {
 public:
  ExtraDirsVariable() {
    if (const char* v = std::getenv(kName)) saved_ = v;
  }
  ~ExtraDirsVariable() {
    if (saved_)
      ::setenv(kName, saved_->c_str(), 1);
    else
      ::unsetenv(kName);
  }
  void set(const std::string& value) { ::setenv(kName, value.c_str(), 1); }
  void unset() { ::unsetenv(kName); }

 private:
  static constexpr const char* kName = "KORVID_EXTRA_RULE_DIRS";
  std::optional<std::string> saved_;
};

std::vector<fs::path> with_prefix_and_fixed(std::vector<fs::path> extra) {
  // The test binary lives in <build>/libs/rule, so its prefix is <build>/libs.
  std::vector<fs::path> dirs{fs::canonical("/proc/self/exe").parent_path().parent_path() / "share/device/rules"};
  dirs.insert(dirs.end(), extra.begin(), extra.end());
  dirs.insert(dirs.end(), kFixed.begin(), kFixed.end());
  return dirs;
}

TEST(RuleDirectories, PrefixThenEveryExtraPieceThenFixedDirectories) {
  ExtraDirsVariable var;
  const std::vector<std::pair<std::optional<std::string>, std::vector<fs::path>>> cases = {
      {std::nullopt, {}},
      {"a::b", {"a", "", "b"}},
      {"", {""}},
      {"/x/rules:", {"/x/rules", ""}},
      {"/usr/share/device/rules", {"/usr/share/device/rules"}},  // duplicates are kept
      {"a:\xff", {}},                                             // not UTF-8: nothing
  };
  for (const auto& [value, extra] : cases) {
    SCOPED_TRACE(value.value_or("<unset>"));
    if (value)
      var.set(*value);
    else
      var.unset();
    EXPECT_EQ(rule_directories(), with_prefix_and_fixed(extra));
  }
}

class RuleLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvid-rules-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    korvid::log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(log_), "rule::engine=debug");
  }
  void TearDown() override {
    korvid::log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(log_), "off");
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, ec);
    fs::remove_all(root_, ec);
  }

  fs::path dir(const std::string& name) {
    fs::create_directories(root_ / name);
    return root_ / name;
  }
  static void write(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }

  // "LEVEL message" per logged line: "<time> <LEVEL padded> rule::engine: <message>".
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    std::istringstream in(log_.str());
    for (std::string line; std::getline(in, line);) {
      const std::size_t level_at = line.find_first_not_of(' ', line.find(' '));
      const std::size_t level_end = line.find(' ', level_at);
      const std::string target = " rule::engine: ";
      if (level_end == std::string::npos || line.compare(level_end, target.size(), target) != 0) {
        ADD_FAILURE() << "unexpected log line: " << line;
        continue;
      }
      out.push_back(line.substr(level_at, level_end - level_at) + " " + line.substr(level_end + target.size()));
    }
    return out;
  }
  std::vector<std::string> sorted_lines() {
    auto l = lines();
    std::sort(l.begin(), l.end());
    return l;
  }

  fs::path root_;
  std::ostringstream log_;
};

TEST_F(RuleLoading, ReadRuleFileReportsEachFailureKind) {
  const fs::path d = dir("d");
  write(d / "good", kGood);
  write(d / "latin1", "[(when: Match(\"A\", \"caf\xe9\"), actions: [])]");
  write(d / "bad", "[\n  (when: True,\n   actions: [Set(\"A\")]),\n]");
  fs::create_directory(d / "sub");

  auto good = read_rule_file(d / "good");
  ASSERT_TRUE(good) << good.error().text();
  EXPECT_EQ(good->path, d / "good");
  ASSERT_EQ(good->rules.size(), 1u);
  EXPECT_EQ(good->rules[0].actions[0],
            (Action{action::Set{TextValue::literal("GROUP"), TextValue::literal("disk")}}));

  const std::vector<std::tuple<fs::path, RuleError::Kind, std::string>> failures = {
      {d / "missing", RuleError::Kind::Io, "No such file or directory (os error 2)"},
      {d / "sub", RuleError::Kind::Io, "Is a directory (os error 21)"},
      {d / "latin1", RuleError::Kind::Io, "invalid data"},
      {d / "bad", RuleError::Kind::Parse, "3:21: invalid length 1, expected tuple variant Action::Set with 2 elements"},
  };
  for (const auto& [path, kind, text] : failures) {
    auto r = read_rule_file(path);
    ASSERT_FALSE(r) << path;
    EXPECT_EQ(r.error().kind(), kind) << path;
    EXPECT_EQ(r.error().text(), text) << path;
  }
}

TEST_F(RuleLoading, DirectoriesThatCannotBeListedAreSkippedAtDebug) {
  write(root_ / "plain-file", kGood);
  const RuleSet set = load_rule_set({root_ / "missing", "", root_ / "plain-file"});
  EXPECT_TRUE(set.files.empty());
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "DEBUG Did not read directory \"" + (root_ / "missing").string() + "\" for rule files.",
                         "DEBUG Did not read directory \"\" for rule files.",
                         "DEBUG Did not read directory \"" + (root_ / "plain-file").string() + "\" for rule files.",
                     }));
}

TEST_F(RuleLoading, EveryEntryButHiddenOnesIsReadAndBadOnesAreSkipped) {
  const fs::path d = dir("rules");
  write(d / "10-good.rules", kGood);
  write(d / "20-empty", "// nothing yet\n[]");
  write(d / "30-backup~", "[(when: True, actions: [Unset(\"X\")])]");
  write(d / ".hidden", "not rules at all");
  write(d / "40-latin1", "[(when: True, actions: [Command(\"\xe9\")])]");
  write(d / "50-syntax", "[\n  (when: True, actions: []),\n  (when: Maybe, actions: []),\n]");
  fs::create_directory(d / "60-subdir");
  write(d / "60-subdir" / "inner", kGood);  // subdirectories are not descended into

  const RuleSet set = load_rule_set({d});

  std::vector<std::string> loaded;
  for (const RuleFile& f : set.files) loaded.push_back(f.path.filename().string() + ":" + std::to_string(f.rules.size()));
  std::sort(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, (std::vector<std::string>{"10-good.rules:1", "20-empty:0", "30-backup~:1"}));

  const std::string p = d.string() + "/";
  EXPECT_EQ(sorted_lines(),
            (std::vector<std::string>{
                "DEBUG Activating rule file \"" + p + "10-good.rules\"",
                "DEBUG Activating rule file \"" + p + "20-empty\"",
                "DEBUG Activating rule file \"" + p + "30-backup~\"",
                "WARN Failed to parse rule file \"" + p + "40-latin1\": invalid data",
                "WARN Failed to parse rule file \"" + p +
                    "50-syntax\": 3:10: unknown variant `Maybe`, expected one of `All`, `Any`, `Not`, `True`, "
                    "`False`, `Match`, `PartMatch`",
                "WARN Failed to parse rule file \"" + p + "60-subdir\": Is a directory (os error 21)",
            }));
}

TEST_F(RuleLoading, FilesFollowDirectoryOrderAndRepeatedDirectoriesAreReadTwice) {
  const fs::path usr = dir("usr");
  const fs::path etc = dir("etc/");  // a trailing separator joins without doubling
  write(usr / "a", "[(when: True, actions: [Set(\"GROUP\", \"disk\")])]");
  write(etc / "b", "[(when: True, actions: [Set(\"GROUP\", \"root\")])]");

  const RuleSet set = load_rule_set({usr, root_ / "etc/", usr});

  std::vector<std::string> paths;
  for (const RuleFile& f : set.files) paths.push_back(f.path.string());
  EXPECT_EQ(paths, (std::vector<std::string>{(usr / "a").string(), (root_ / "etc/b").string(), (usr / "a").string()}));
  ASSERT_EQ(set.files.size(), 3u);
  EXPECT_EQ(set.files[1].rules[0].actions[0],
            (Action{action::Set{TextValue::literal("GROUP"), TextValue::literal("root")}}));
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "DEBUG Activating rule file \"" + (usr / "a").string() + "\"",
                         "DEBUG Activating rule file \"" + root_.string() + "/etc/b\"",
                         "DEBUG Activating rule file \"" + (usr / "a").string() + "\"",
                     }));
}

// A FIFO without a writer must not stall loading: it reads as empty text.
TEST_F(RuleLoading, FifoEntryIsReadWithoutWaitingForAWriter) {
  const fs::path d = dir("fifo");
  ASSERT_EQ(::mkfifo((d / "pipe").c_str(), 0600), 0);
  const RuleSet set = load_rule_set({d});
  EXPECT_TRUE(set.files.empty());
  EXPECT_EQ(lines(), (std::vector<std::string>{"WARN Failed to parse rule file \"" + (d / "pipe").string() +
                                               "\": 1:1: unexpected end of file, expected a list of rules"}));
}

TEST_F(RuleLoading, UnreadableFileIsAWarningWithTheOsText) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files regardless of their mode";
  const fs::path d = dir("locked");
  write(d / "secret", kGood);
  fs::permissions(d / "secret", fs::perms::none);
  const RuleSet set = load_rule_set({d});
  EXPECT_TRUE(set.files.empty());
  EXPECT_EQ(lines(), (std::vector<std::string>{"WARN Failed to parse rule file \"" + (d / "secret").string() +
                                               "\": Permission denied (os error 13)"}));
}

}  // namespace
}  // namespace rule
