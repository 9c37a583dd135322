#include "devpaths.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <re2/re2.h>

namespace korvidctl {
namespace {

namespace fs = std::filesystem;

class TempTree {
 public:
  TempTree() {
    std::string pattern = (fs::temp_directory_path() / "korvidctl-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~TempTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const fs::path& root() const { return root_; }

  // A device directory as sysfs shows it: "uevent" and a "subsystem" link.
  void device(const std::string& relative) {
    dir(relative);
    file(relative + "/uevent");
    fs::create_directory_symlink(root_ / "class/x", root_ / relative / "subsystem");
  }
  void dir(const std::string& relative) { fs::create_directories(root_ / relative); }
  void file(const std::string& relative) { std::ofstream(root_ / relative) << "x"; }

 private:
  fs::path root_;
};

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(TriggerStartDirectory, FollowsTheScope) {
  EXPECT_EQ(trigger_start_directory("/sys", "devices"), "/sys/devices");
  EXPECT_EQ(trigger_start_directory("/sys/", "devices"), "/sys/devices");
  EXPECT_EQ(trigger_start_directory("/sys", "all"), "/sys");
}

TEST(TriggeredDevpaths, DevicesBelowTheScopeWithoutFollowingLinks) {
  TempTree tree;
  tree.dir("class/x");
  tree.device("devices/virtual/mem/null");
  tree.device("devices/virtual/mem/zero");
  tree.device("devices/pci0000:00/0000:00:01.0");
  tree.device("devices/pci0000:00/0000:00:01.0/block/sda");
  // The kernel announces no device without a bus or class.
  tree.dir("devices/platform");
  tree.file("devices/platform/uevent");
  // Not a regular file: nothing the walk could trigger.
  tree.dir("devices/virtual/odd/uevent");
  fs::create_directory_symlink(tree.root() / "class/x", tree.root() / "devices/virtual/odd/subsystem");
  // Reached only through links: never walked.
  tree.device("elsewhere/hidden");
  fs::create_directory_symlink(tree.root() / "elsewhere", tree.root() / "devices/virtual/link");
  fs::create_directory_symlink(tree.root() / "devices/virtual/mem", tree.root() / "devices/virtual/mem/null/loop");
  // Outside the devices directory: only for scope "all".
  tree.device("module/m");

  const std::vector<std::string> devices = {"/devices/virtual/mem/null", "/devices/virtual/mem/zero",
                                            "/devices/pci0000:00/0000:00:01.0",
                                            "/devices/pci0000:00/0000:00:01.0/block/sda"};
  EXPECT_EQ(sorted(triggered_devpaths(tree.root(), "devices")), sorted(devices));
  EXPECT_EQ(sorted(triggered_devpaths(tree.root().native() + "/", "devices")), sorted(devices));

  std::vector<std::string> all = devices;
  all.push_back("/elsewhere/hidden");
  all.push_back("/module/m");
  EXPECT_EQ(sorted(triggered_devpaths(tree.root(), "all")), sorted(all));
}

TEST(TriggeredDevpaths, MissingTreeGivesNothing) {
  TempTree tree;
  EXPECT_EQ(triggered_devpaths((tree.root() / "absent").native(), "devices"), std::vector<std::string>{});
  EXPECT_EQ(triggered_devpaths((tree.root() / "absent").native(), "all"), std::vector<std::string>{});
}

// Read only: a sysfs subtree used as the root keeps the kernel's DEVPATHs.
TEST(TriggeredDevpaths, SysfsSubtreeAsRootKeepsTheKernelsDevpaths) {
  const fs::path mem = "/sys/devices/virtual/mem";
  if (!fs::exists(mem / "null/uevent")) GTEST_SKIP() << "no " << mem;
  const auto devpaths = triggered_devpaths(mem.native(), "all");
  EXPECT_NE(std::find(devpaths.begin(), devpaths.end(), "/devices/virtual/mem/null"), devpaths.end());
  for (const auto& devpath : devpaths) EXPECT_TRUE(devpath.starts_with("/devices/virtual/mem/")) << devpath;
}

TEST(DevpathPatterns, SelectExactlyTheGivenDevpathsWithinTheSizeLimit) {
  std::vector<std::string> devpaths = {"/devices/pci0000:00/0000:00:1f.2/ata1/host0",
                                       "/devices/virtual/mem/null",
                                       "/devices/odd/a+b*c?(d)|[e]{f}^g$h\\i",
                                       "/devices/platform/serial8250/tty/ttyS0"};
  for (int i = 0; i < 300; ++i) devpaths.push_back("/devices/virtual/tty/tty" + std::to_string(i));
  // Each one once, and strings that differ from them only where a careless
  // pattern would still match.
  const std::vector<std::string> near_misses = {
      "/devices/pci0000:00/0000:00:1fx2/ata1/host0", "/devices/virtual/mem/null/power", "/devices/virtual/mem/nul",
      "/devices/odd/aab*c?(d)|[e]{f}^g$h\\i", "/devices/odd/a+b", "x/devices/virtual/mem/null",
      "/devices/virtual/tty/tty300", "/devices/virtual/tty/tty1x", ""};

  const struct {
    std::size_t max_bytes;
    std::size_t expected_patterns;
  } limits[] = {{100000, 1}, {1000, 0}, {10, devpaths.size()}};
  for (const auto& limit : limits) {
    const auto patterns = devpath_patterns(devpaths, limit.max_bytes);
    if (limit.expected_patterns != 0) {
      EXPECT_EQ(patterns.size(), limit.expected_patterns) << limit.max_bytes;
    }
    std::vector<std::string> selected;
    for (const auto& pattern : patterns) {
      if (limit.max_bytes >= 100) {
        EXPECT_LE(pattern.size(), limit.max_bytes);
      }
      RE2::Options options;
      options.set_log_errors(false);
      // As the daemon compiles a Match pattern.
      const RE2 re("^" + pattern + "$", options);
      ASSERT_TRUE(re.ok()) << pattern << ": " << re.error();
      for (const auto& devpath : devpaths) {
        if (RE2::PartialMatch(devpath, re)) selected.push_back(devpath);
      }
      for (const auto& miss : near_misses) EXPECT_FALSE(RE2::PartialMatch(miss, re)) << miss << " by " << pattern;
    }
    EXPECT_EQ(sorted(selected), sorted(devpaths)) << limit.max_bytes;
  }
  EXPECT_EQ(devpath_patterns({}, 1000), std::vector<std::string>{});
}

}  // namespace
}  // namespace korvidctl
