// End-to-end: the built daemon with rule files, its IPC socket and real
// kernel uevents of the harmless mem devices.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "daemon_process.hpp"
#include "test_client.hpp"

namespace korvid::testing {
namespace {

using namespace std::chrono_literals;
using korvid::ipc::testing::Client;

const std::filesystem::path kMem = "/sys/devices/virtual/mem";
const std::string kSocket = "verified:quennetos/korvid";
const std::string kTrigger = "/quennetos/Korvid/Trigger@KORVID_0.1.0";
const std::string kReload = "/quennetos/Korvid/ReloadRules@KORVID_0.1.0";
const std::string kList = "/quennetos/Korvid/ListDevices@KORVID_0.1.0";
const std::string kIdle = "/quennetos/Korvid/WaitForIdle@KORVID_0.1.0";
const std::string kBadRequest = R"({"error":"/Tessaro/BadRequest@TESSARO_LITE_1"})";

std::string request(const std::string& method, const std::string& params = "null") {
  return R"({"method":")" + method + R"(","params":)" + params + "}";
}

std::set<std::string> mem_devpaths() {
  std::set<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(kMem))
    if (std::filesystem::exists(entry.path() / "uevent")) paths.insert("/devices/virtual/mem/" + entry.path().filename().string());
  return paths;
}

int open_fd_count(pid_t pid) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

class DaemonE2E : public ::testing::Test {
 protected:
  std::unique_ptr<DaemonProcess> start(std::map<std::string, std::optional<std::string>> env = {}) {
    env.emplace("KORVID_DEV_ROOT", root_.path().string());
    env.emplace("KORVID_EXTRA_RULE_DIRS", rules_.path().string());
    env.emplace("KORVID_LOG", "debug");
    env.emplace("KORVID_HAS_DEVTMPFS", std::nullopt);
    env.emplace("KORVID_SYSFS_ROOT", std::nullopt);
    auto daemon = std::make_unique<DaemonProcess>(env);
    // The rule set is installed just before the SIGINT listener: once the
    // daemon catches SIGINT, every later event sees the rules.
    EXPECT_TRUE(eventually([&] { return daemon->catches_sigint(); })) << daemon->stderr_text();
    EXPECT_TRUE(eventually([&] { return Client(kSocket).connected(); }));
    return daemon;
  }

  void rule_file(const std::string& name, const std::string& text) { std::ofstream(rules_ / name) << text; }

  std::vector<std::string> list(const std::string& condition = R"("True")") {
    Client client(kSocket);
    const std::string reply = client.call(request(kList, condition));
    auto json = nlohmann::json::parse(reply, nullptr, false);
    if (!json.is_array()) return {reply};
    return json.get<std::vector<std::string>>();
  }

  std::optional<struct stat> lstat_of(const std::string& name) {
    struct stat st{};
    if (::lstat((root_.path() / name).c_str(), &st) != 0) return std::nullopt;
    return st;
  }

  TempDir root_, rules_;
};

TEST_F(DaemonE2E, BrokenRuleFileIsReportedAndItsNeighbourActivated) {
  rule_file("10-broken.rules", "[\n  Rule(when: True,\n    actions: [Set(\"A\")]),\n]\n");
  rule_file("20-good.rules", "[ (when: True, do: []) ]");
  auto daemon = start();
  const auto warn = daemon->wait_for_line("Failed to parse rule file");
  ASSERT_TRUE(warn);
  const std::string expected = " WARN rule::engine: Failed to parse rule file \"" + (rules_ / "10-broken.rules").string() + "\": 3:";
  EXPECT_NE(warn->find(expected), std::string::npos) << *warn;
  EXPECT_TRUE(daemon->wait_for_line("DEBUG rule::engine: Activating rule file \"" + (rules_ / "20-good.rules").string() + "\""));
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, RulesSetOwnershipModeAndLinksOfRealDevices) {
  rule_file("50-mem.rules", R"([
    Rule(when: Match("SUBSYSTEM", "mem"),
         actions: [Set("OWNER", "4321"), Set("GROUP", "8765"), Set("MODE", "0o604"),
                   Add("SYMLINKS", ["{DEVROOT}/mem-links/{DEVNAME}"])]),
  ])");
  auto daemon = start();
  announce(kMem / "zero", "add");
  announce(kMem / "full", "add");
  ASSERT_TRUE(eventually([&] { return lstat_of("mem-links/zero") && lstat_of("mem-links/full"); }))
      << daemon->stderr_text() << fmt::format("{}", fmt::join(daemon->lines(), "\n"));
  const auto zero = lstat_of("zero");
  ASSERT_TRUE(zero);
  EXPECT_TRUE(S_ISCHR(zero->st_mode));
  EXPECT_EQ(zero->st_uid, 4321u);
  EXPECT_EQ(zero->st_gid, 8765u);
  EXPECT_EQ(zero->st_mode & 07777, 0604u);
  EXPECT_EQ(std::filesystem::read_symlink(root_ / "mem-links/zero"), root_ / "zero");

  announce(kMem / "full", "remove");
  const bool gone = eventually([&] { return !lstat_of("mem-links/full"); });
  announce(kMem / "full", "add");
  EXPECT_TRUE(gone);
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, SecondDaemonCannotBindTheSocket) {
  auto first = start();
  DaemonProcess second({{"KORVID_DEV_ROOT", root_.path().string()}, {"KORVID_LOG", std::nullopt}});
  const auto status = second.wait_exit();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  const auto lines = second.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(" ERROR korvid: Failed to start IPC server: Address already in use (os error 98)")) << lines[0];
  EXPECT_TRUE(Client(kSocket).connected());  // the first one keeps serving
  EXPECT_EQ(first->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, ColdplugThroughTriggerRegistersEveryMemDevice) {
  auto daemon = start({{"KORVID_SYSFS_ROOT", kMem.string()}});
  Client client(kSocket);
  EXPECT_EQ(client.call(request(kTrigger, R"(["all","Add"])")), kBadRequest);
  EXPECT_EQ(client.call(request(kTrigger, R"(["all","add"])")), "null");
  const auto expected = mem_devpaths();
  ASSERT_TRUE(eventually([&] {
    const auto listed = list();
    const std::set<std::string> registered(listed.begin(), listed.end());
    return std::includes(registered.begin(), registered.end(), expected.begin(), expected.end());
  }));
  for (const auto& path : expected) EXPECT_TRUE(lstat_of(std::filesystem::path(path).filename()));
  EXPECT_EQ(list(R"({"Match":["DEVNAME","nu.*"]})"), std::vector<std::string>{"/devices/virtual/mem/null"});
  EXPECT_EQ(list(R"({"Match":["DEVNAME",["{DEVNAME}"]]})").size(), list().size());
  EXPECT_EQ(list(R"("False")"), std::vector<std::string>{});
  EXPECT_EQ(client.call(request(kTrigger, R"(["subsystem","add"])")), "null");
  EXPECT_TRUE(daemon->wait_for_line("DEBUG korvid::trigger: Triggering uevent \"add\" for \"" + (kMem / "null/uevent").string() + "\"."));
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, WaitForIdleWaitsForASlowChangeWhileOthersAreServed) {
  const auto marker = rules_ / "marker";
  rule_file("50-slow.rules", R"([ (when: All([Match("ACTION", "change"), Match("DEVNAME", "null")]),
                                    do: [Command("touch )" + marker.string() + R"( && sleep 1.5")]) ])");
  auto daemon = start();
  announce(kMem / "null", "add");
  ASSERT_TRUE(eventually([&] {
    const auto listed = list();
    return std::find(listed.begin(), listed.end(), "/devices/virtual/mem/null") != listed.end();
  }));
  announce(kMem / "null", "change");
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(marker); }));

  Client waiting(kSocket);
  ASSERT_TRUE(waiting.send(request(kIdle)));
  const auto started = std::chrono::steady_clock::now();
  // Another connection is answered while the first one waits.
  EXPECT_FALSE(list().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_EQ(waiting.receive(), std::optional<std::string>("null"));
  EXPECT_GT(std::chrono::steady_clock::now() - started, 500ms);  // it really waited for the change
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, ReloadAnswersNullEvenWithABrokenFile) {
  auto daemon = start();
  rule_file("10-broken.rules", "[ oops ]");
  Client client(kSocket);
  EXPECT_EQ(client.call(request(kReload)), "null");
  EXPECT_TRUE(daemon->wait_for_line("Failed to parse rule file \"" + (rules_ / "10-broken.rules").string() + "\": 1:"));
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, ManyConcurrentClientsAreAllServedAndLeaveNoDescriptors) {
  auto daemon = start({{"KORVID_LOG", "rule::engine=debug"}});
  Client probe(kSocket);
  EXPECT_EQ(probe.call(request(kIdle)), "null");
  probe.close();
  std::this_thread::sleep_for(200ms);
  const int fds_before = open_fd_count(daemon->pid());

  constexpr int kClients = 200, kRequests = 100;
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Client client(kSocket);
      if (!client.connected()) {
        wrong += kRequests;
        return;
      }
      for (int r = 0; r < kRequests; ++r) {
        std::string reply;
        switch ((c + r) % 4) {
          case 0: reply = client.call(request(kList, R"({"Match":["SUBSYSTEM","mem"]})"));
            if (reply.empty() || reply[0] != '[') ++wrong;
            break;
          case 1: reply = client.call(request(kIdle));
            if (reply != "null") ++wrong;
            break;
          case 2: reply = client.call(R"({"method":"nope"})");
            if (reply != kBadRequest) ++wrong;
            break;
          default: reply = client.call("");
            if (reply != kBadRequest) ++wrong;
            break;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(eventually([&] { return open_fd_count(daemon->pid()) == fds_before; }))
      << open_fd_count(daemon->pid()) << " vs " << fds_before;
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(DaemonE2E, AStuckLogReaderNeverStallsTheDaemon) {
  DaemonProcess daemon({{"KORVID_DEV_ROOT", root_.path().string()},
                        {"KORVID_EXTRA_RULE_DIRS", rules_.path().string()},
                        {"KORVID_LOG", "debug"}},
                       DaemonProcess::StalledStdout{});
  ASSERT_TRUE(eventually([&] { return daemon.catches_sigint(); }));
  // Far more log output than a pipe holds.
  const int fd = ::open((kMem / "null" / "uevent").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(::pwrite(fd, "change", 6, 0), 6);
  ::close(fd);
  announce(kMem / "zero", "add");
  EXPECT_TRUE(eventually([&] { return lstat_of("zero").has_value(); }, 20s));
  EXPECT_TRUE(eventually([&] {
    const auto listed = list();
    return std::find(listed.begin(), listed.end(), "/devices/virtual/mem/zero") != listed.end();
  }, 20s));
  EXPECT_NE(daemon.stderr_text().find("korvid: dropping log lines: standard output is full"), std::string::npos)
      << daemon.stderr_text();
  EXPECT_EQ(daemon.interrupt(), std::optional<int>(0));
}

}  // namespace
}  // namespace korvid::testing
