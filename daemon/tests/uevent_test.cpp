#include "uevent.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <fstream>

#include "daemon_process.hpp"

namespace korvid::uevent {
namespace {

using kobject_uevent::KobjectUevent;
using korvid::testing::TempDir;

TEST(NodePath, JoinsByPathRules) {
  const struct {
    std::string root, devname, expected;
  } cases[] = {
      {"/dev", "sda", "/dev/sda"},
      {"/tmp/d/", "sda", "/tmp/d/sda"},
      {"", "sda", "sda"},
      {"/dev", "/abs/node", "/abs/node"},
      {"/dev", "bus/usb/001/002", "/dev/bus/usb/001/002"},
  };
  for (const auto& c : cases) EXPECT_EQ(node_path(c.root, c.devname).native(), c.expected);
}

TEST(DeviceNumber, UsesTheMakedevEncoding) {
  const struct {
    std::uint32_t major, minor;
    std::uint64_t expected;
  } cases[] = {
      {4, 64, 0x440},
      {4095, 255, 0xFFFFF},
      {4096, 256, (1ull << 44) | (1ull << 20)},
      {0xFFFFFFFF, 0xFFFFFFFF, ~0ull},
      {1, 3, 0x103},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(device_number(c.major, c.minor), c.expected) << c.major << ":" << c.minor;
    EXPECT_EQ(device_number(c.major, c.minor), static_cast<std::uint64_t>(makedev(c.major, c.minor)));
  }
}

class NodeStep : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("KORVID_DEV_ROOT", root_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("KORVID_DEV_ROOT"); }

  void run(KobjectUevent::Properties properties) {
    const KobjectUevent uevent(std::move(properties));
    boost::asio::io_context io;
    auto done = boost::asio::co_spawn(io, node_step(uevent), boost::asio::use_future);
    io.run();
    done.get();
  }

  std::optional<struct stat> lstat_of(const std::string& name) {
    struct stat st{};
    if (::lstat((root_.path() / name).c_str(), &st) != 0) return std::nullopt;
    return st;
  }

  TempDir root_;
};

TEST_F(NodeStep, AddCreatesCharacterNodeWithDefaultMode) {
  run({{"ACTION", "add"}, {"DEVNAME", "ttyX"}, {"MAJOR", "4"}, {"MINOR", "64"}});
  const auto st = lstat_of("ttyX");
  ASSERT_TRUE(st);
  EXPECT_TRUE(S_ISCHR(st->st_mode));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st->st_mode & 07777, 0600 & ~mask);
  EXPECT_EQ(st->st_rdev, makedev(4, 64));
}

TEST_F(NodeStep, BlockSubsystemAndDevmodeAndParents) {
  run({{"ACTION", "add"}, {"DEVNAME", "bus/usb/001/002"}, {"MAJOR", "8"}, {"MINOR", "1"},
       {"SUBSYSTEM", "block"}, {"DEVMODE", "0640"}});
  const auto st = lstat_of("bus/usb/001/002");
  ASSERT_TRUE(st);
  EXPECT_TRUE(S_ISBLK(st->st_mode));
  EXPECT_EQ(st->st_mode & 0777, 0640u & ~0022u & 0777u) ;
}

TEST_F(NodeStep, MissingMinorMakesParentsButNoNode) {
  run({{"ACTION", "add"}, {"DEVNAME", "dri/card0"}, {"MAJOR", "226"}});
  EXPECT_TRUE(lstat_of("dri"));
  EXPECT_FALSE(lstat_of("dri/card0"));
}

TEST_F(NodeStep, ExistingFileIsLeftUnchanged) {
  { std::ofstream(root_ / "null") << "keep"; }
  run({{"ACTION", "add"}, {"DEVNAME", "null"}, {"MAJOR", "1"}, {"MINOR", "3"}});
  const auto st = lstat_of("null");
  ASSERT_TRUE(st);
  EXPECT_TRUE(S_ISREG(st->st_mode));
}

TEST_F(NodeStep, RemoveUnlinksAndOtherActionsDoNothing) {
  run({{"ACTION", "add"}, {"DEVNAME", "zero"}, {"MAJOR", "1"}, {"MINOR", "5"}});
  ASSERT_TRUE(lstat_of("zero"));
  run({{"ACTION", "change"}, {"DEVNAME", "zero"}});
  run({{"ACTION", "ADD"}, {"DEVNAME", "other"}, {"MAJOR", "1"}, {"MINOR", "7"}});
  run({{"ACTION", "add"}, {"MAJOR", "1"}, {"MINOR", "9"}});
  EXPECT_TRUE(lstat_of("zero"));
  EXPECT_FALSE(lstat_of("other"));
  run({{"ACTION", "remove"}, {"DEVNAME", "zero"}});
  EXPECT_FALSE(lstat_of("zero"));
  run({{"ACTION", "remove"}, {"DEVNAME", "zero"}});  // already gone: silent
}

}  // namespace
}  // namespace korvid::uevent
