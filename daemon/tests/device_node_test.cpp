#include "device_node.hpp"

#include <gtest/gtest.h>

namespace korvid::device {
namespace {

using namespace std::string_literals;

TEST(SymlinkEntries, SplitsAtEveryNul) {
  const struct {
    std::string value;
    std::vector<std::string> entries;
  } cases[] = {
      {"", {}},
      {"a\0b\0"s, {"a", "b"}},
      {"a\0b"s, {"a", "b"}},
      {"a\0\0b\0"s, {"a", "", "b"}},
      {"\0"s, {""}},
      {"/dev/disk/by-id/x\0"s, {"/dev/disk/by-id/x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(symlink_entries(c.value), c.entries);
}

TEST(SamePath, ComparesNonEmptyComponents) {
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"/dev/sda", "/dev/sda", true},
      {"/dev//sda", "/dev/sda", true},
      {"/dev/sda/", "/dev/sda", true},
      {"/tmp/d//sda", "/tmp/d/sda", true},
      {"/dev/./sda", "/dev/sda", true},
      {"dev/sda", "/dev/sda", false},
      {"/dev/sdb", "/dev/sda", false},
      {"/dev/sda/..", "/dev", false},
      {"./sda", "sda", false},
  };
  for (const auto& c : cases) EXPECT_EQ(same_path(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

}  // namespace
}  // namespace korvid::device
