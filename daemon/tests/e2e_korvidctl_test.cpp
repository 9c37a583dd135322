// End-to-end: korvidctl against the real daemon and real kernel uevents.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "daemon_process.hpp"

namespace korvid::testing {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kMem = "/sys/devices/virtual/mem";

struct CtlRun {
  int status;
  std::string out;
};

// Runs korvidctl through the shell; stderr is folded into the output.
CtlRun korvidctl(const std::string& arguments) {
  const std::string command = std::string(KORVIDCTL_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class KorvidctlE2E : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("KORVID_SYSFS_ROOT", kMem.c_str(), 1); }
  void TearDown() override { ::unsetenv("KORVID_SYSFS_ROOT"); }

  std::unique_ptr<DaemonProcess> start() {
    auto daemon = std::make_unique<DaemonProcess>(std::map<std::string, std::optional<std::string>>{
        {"KORVID_DEV_ROOT", root_.path().string()},
        {"KORVID_EXTRA_RULE_DIRS", rules_.path().string()},
        {"KORVID_LOG", "korvid::trigger=debug,rule::engine=debug"},
        {"KORVID_HAS_DEVTMPFS", std::nullopt}});
    EXPECT_TRUE(eventually([&] { return daemon->catches_sigint(); }));
    return daemon;
  }

  TempDir root_, rules_;
};

TEST_F(KorvidctlE2E, ColdplugSettleListAndReload) {
  std::ofstream(rules_ / "mem.rules") << R"x([ (when: Match("DEVNAME", "(null|zero)"), do: [Set("KIND", "sink")]) ])x";
  auto daemon = start();

  const CtlRun trigger = korvidctl("trigger --scope all --settle --timeout 60");
  EXPECT_EQ(trigger.status, 0) << trigger.out;
  // --settle returned only after every mem device was registered.
  const CtlRun all = korvidctl("list");
  EXPECT_EQ(all.status, 0);
  for (const char* name : {"null", "zero", "full", "random", "urandom"})
    EXPECT_NE(all.out.find(std::string("/devices/virtual/mem/") + name + "\n"), std::string::npos) << all.out;
  EXPECT_TRUE(std::filesystem::exists(root_ / "null"));

  const CtlRun listed = korvidctl(R"(list 'All([Match("SUBSYSTEM", "mem"), Match("KIND", "sink")])')");
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_TRUE(listed.out == "/devices/virtual/mem/null\n/devices/virtual/mem/zero\n" ||
              listed.out == "/devices/virtual/mem/zero\n/devices/virtual/mem/null\n")
      << listed.out;
  const CtlRun json = korvidctl(R"(list --json-condition '{"Match":["DEVNAME","full"]}' --json)");
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, "[\"/devices/virtual/mem/full\"]\n");

  const CtlRun settle = korvidctl("settle --timeout 30");
  EXPECT_EQ(settle.status, 0) << settle.out;
  EXPECT_EQ(settle.out, "");

  std::ofstream(rules_ / "broken.rules") << "[ nope ]";
  const CtlRun reload = korvidctl("reload");
  EXPECT_EQ(reload.status, 0) << reload.out;
  EXPECT_TRUE(daemon->wait_for_line("Failed to parse rule file \"" + (rules_ / "broken.rules").string() + "\""));
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(KorvidctlE2E, SettleGivesUpWhileAChangeIsSlow) {
  const auto marker = rules_.path() / "marker";
  std::ofstream(rules_ / "slow.rules") << R"([ (when: All([Match("ACTION", "change"), Match("DEVNAME", "full")]),
                                                 do: [Command("touch )" << marker.string() << R"( && sleep 4")]) ])";
  auto daemon = start();
  ASSERT_TRUE(eventually([&] {
    announce(kMem / "full", "add");
    return korvidctl("list").out.find("/devices/virtual/mem/full") != std::string::npos;
  }));
  announce(kMem / "full", "change");
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(marker); }));
  const CtlRun settle = korvidctl("settle --timeout 1");
  EXPECT_EQ(settle.status, 1) << settle.out;
  EXPECT_NE(settle.out.find("korvid is still busy"), std::string::npos) << settle.out;
  EXPECT_EQ(korvidctl("settle --timeout 30").status, 0);
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(KorvidctlE2E, NoDaemonListeningIsExitStatusThree) {
  const CtlRun list = korvidctl("list");
  EXPECT_EQ(list.status, 3) << list.out;
  EXPECT_NE(list.out.find("cannot connect to korvid (is the daemon running?)"), std::string::npos) << list.out;
}

}  // namespace
}  // namespace korvid::testing
