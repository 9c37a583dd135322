// End-to-end: the built daemon against the machine's real kernel uevents.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "daemon_process.hpp"

namespace korvid::testing {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kMem = "/sys/devices/virtual/mem";

class MonitorE2E : public ::testing::Test {
 protected:
  std::unique_ptr<DaemonProcess> start(std::map<std::string, std::optional<std::string>> env) {
    env.emplace("KORVID_DEV_ROOT", root_.path().string());
    env.emplace("KORVID_LOG", "debug");
    env.emplace("KORVID_HAS_DEVTMPFS", std::nullopt);
    env.emplace("KORVID_EXTRA_RULE_DIRS", std::nullopt);
    auto daemon = std::make_unique<DaemonProcess>(env);
    // The monitor is up once the daemon hears its own probe event.
    probe(*daemon);
    return daemon;
  }

  // Announces "change" for null until the daemon logs one (start-up race).
  void probe(DaemonProcess& daemon) {
    const bool heard = eventually(
        [&] {
          announce(kMem / "null", "change");
          return daemon.wait_for_line("\"DEVPATH\": \"/devices/virtual/mem/null\"", 200ms).has_value();
        },
        10s);
    ASSERT_TRUE(heard) << daemon.stderr_text();
  }

  std::optional<struct stat> node(const std::string& name) {
    struct stat st{};
    if (::lstat((root_.path() / name).c_str(), &st) != 0) return std::nullopt;
    return st;
  }

  TempDir root_;
};

TEST_F(MonitorE2E, AddCreatesNodesAndRemoveRemovesThem) {
  auto daemon = start({});
  announce(kMem / "zero", "add");
  announce(kMem / "full", "add");
  ASSERT_TRUE(eventually([&] { return node("zero") && node("full"); })) << root_.path();

  const auto zero = node("zero");
  EXPECT_TRUE(S_ISCHR(zero->st_mode));
  EXPECT_EQ(zero->st_rdev, makedev(1, 5));
  EXPECT_EQ(zero->st_mode & 07777, 0666u & ~0022u);  // DEVMODE less the daemon's umask
  EXPECT_TRUE(daemon->wait_for_line("DEBUG korvid::uevent: Received KOBJECT_UEVENT: KobjectUevent({"));

  announce(kMem / "full", "remove");
  const bool removed = eventually([&] { return !node("full"); });
  announce(kMem / "full", "add");  // every listener heard the remove: re-announce
  EXPECT_TRUE(removed);
  EXPECT_TRUE(node("zero"));

  const auto status = daemon->interrupt();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST_F(MonitorE2E, DevtmpfsLeavesNodesToTheKernel) {
  auto daemon = start({{"KORVID_HAS_DEVTMPFS", "1"}});
  announce(kMem / "zero", "add");
  EXPECT_TRUE(daemon->wait_for_line("\"ACTION\": \"add\""));
  EXPECT_TRUE(daemon->wait_for_line("\"DEVNAME\": \"zero\""));
  EXPECT_FALSE(node("zero"));
  EXPECT_FALSE(node("null"));
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

TEST_F(MonitorE2E, DatagramFromUserSpaceIsDropped) {
  auto daemon = start({});
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(fd, 0);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = 1;
  const std::string forged("add@/x\0ACTION=add\0DEVPATH=/forged\0DEVNAME=forged\0MAJOR=1\0MINOR=3\0", 63);
  ASSERT_GT(::sendto(fd, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  ::close(fd);
  const auto line = daemon->wait_for_line("Failed to receive KOBJECT_UEVENT");
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->ends_with(" WARN korvid::uevent: Failed to receive KOBJECT_UEVENT: permission denied")) << *line;
  EXPECT_FALSE(node("forged"));
}

TEST_F(MonitorE2E, WithoutFilterOnlyErrorsAreLogged) {
  DaemonProcess daemon({{"KORVID_DEV_ROOT", root_.path().string()}, {"KORVID_LOG", std::nullopt}});
  ASSERT_TRUE(eventually([&] {
    announce(kMem / "zero", "add");
    return node("zero").has_value();
  }));
  EXPECT_TRUE(daemon.lines().empty());
  EXPECT_EQ(daemon.interrupt(), std::optional<int>(0));
}

TEST_F(MonitorE2E, BadFilterDirectiveIsReportedAndFallsBackToErrors) {
  DaemonProcess daemon({{"KORVID_DEV_ROOT", root_.path().string()}, {"KORVID_LOG", "korvid=loud"}});
  ASSERT_TRUE(eventually([&] {
    announce(kMem / "zero", "add");
    return node("zero").has_value();
  }));
  EXPECT_EQ(daemon.interrupt(), std::optional<int>(0));
  EXPECT_NE(daemon.stderr_text().find(
                "ignoring `korvid=loud`: error parsing level filter: expected one of \"off\", \"error\", "
                "\"warn\", \"info\", \"debug\", \"trace\", or a number 0-5\n"),
            std::string::npos)
      << daemon.stderr_text();
  EXPECT_TRUE(daemon.lines().empty());
}

TEST_F(MonitorE2E, ColoursUnlessNoColorIsNonEmpty) {
  DaemonProcess daemon({{"KORVID_DEV_ROOT", root_.path().string()}, {"KORVID_LOG", "debug"}, {"NO_COLOR", ""}});
  probe(daemon);
  const auto line = daemon.wait_for_line("korvid::uevent");
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("\x1b["), std::string::npos) << *line;
  EXPECT_EQ(daemon.interrupt(), std::optional<int>(0));
}

TEST_F(MonitorE2E, BurstOfKernelEventsLosesNothing) {
  auto daemon = start({{"KORVID_LOG", "korvid::uevent=debug"}});
  const std::size_t before = daemon->lines().size();
  constexpr int kBurst = 5000;
  const int fd = ::open((kMem / "null" / "uevent").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(::pwrite(fd, "change", 6, 0), 6);
  ::close(fd);
  auto count_ours = [&](const std::vector<std::string>& lines) {
    return std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end(), [](const std::string& l) {
      return l.find("\"DEVPATH\": \"/devices/virtual/mem/null\"") != std::string::npos &&
             l.find("\"ACTION\": \"change\"") != std::string::npos;
    });
  };
  const bool all = daemon->wait_until([&](const auto& lines) { return count_ours(lines) >= kBurst; }, 60s);
  const auto lines = daemon->lines();
  EXPECT_TRUE(all) << count_ours(lines) << " of " << kBurst;
  for (const auto& line : lines) EXPECT_EQ(line.find("Failed to receive"), std::string::npos) << line;
  EXPECT_EQ(daemon->interrupt(), std::optional<int>(0));
}

}  // namespace
}  // namespace korvid::testing
