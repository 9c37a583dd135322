#include "trigger.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "daemon_process.hpp"
#include "korvid/log.hpp"

namespace korvid::trigger {
namespace {

namespace fs = std::filesystem;
using korvid::testing::TempDir;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Removes a tree whose paths may be longer than PATH_MAX, one level at a time.
void remove_tree_at(int parent_fd, const char* name) {
  const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::unlinkat(parent_fd, name, 0);
    return;
  }
  DIR* dir = ::fdopendir(fd);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string entry_name = entry->d_name;
    if (entry_name != "." && entry_name != "..") names.push_back(entry_name);
  }
  for (const auto& entry_name : names) remove_tree_at(::dirfd(dir), entry_name.c_str());
  ::closedir(dir);
  ::unlinkat(parent_fd, name, AT_REMOVEDIR);
}

class TriggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(log_), "korvid::trigger=debug");
  }

  fs::path dir(const std::string& relative) {
    const fs::path path = root_ / relative;
    fs::create_directories(path);
    return path;
  }

  void walk(const fs::path& start, const std::string& action) {
    boost::asio::io_context io;
    auto done = boost::asio::co_spawn(io, trigger_walk(start.native(), action), boost::asio::use_future);
    io.run();
    done.get();
  }

  std::optional<int> walk_directory(const fs::path& start) {
    boost::asio::io_context io;
    auto done = boost::asio::co_spawn(io, trigger_directory(start.native(), "add"), boost::asio::use_future);
    io.run();
    return done.get();
  }

  // "LEVEL message" per logged line, in order; clears the capture.
  std::vector<std::string> lines() {
    std::vector<std::string> result;
    std::istringstream in(log_.str());
    const std::string marker = " korvid::trigger: ";
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find(marker);
      if (at == std::string::npos) {
        result.push_back("unexpected line: " + line);
        continue;
      }
      const std::string head = line.substr(0, at);
      result.push_back(head.substr(head.find_last_of(' ') + 1) + " " + line.substr(at + marker.size()));
    }
    log_.str("");
    return result;
  }

  static std::string triggered(const std::string& action, const fs::path& file) {
    return "DEBUG Triggering uevent \"" + action + "\" for \"" + file.native() + "\".";
  }

  static std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  std::ostringstream log_;
  TempDir root_;
};

TEST_F(TriggerTest, WritesEachActionIntoEveryUeventOnceWithoutFollowingLinks) {
  const fs::path d = dir("d");
  dir("d/sub/deeper");
  dir("d/empty");
  dir("outside");
  for (const char* file : {"d/uevent", "d/sub/uevent", "d/sub/deeper/uevent", "outside/uevent"}) {
    write_file(root_ / file, "stale text longer than any action\n");
  }
  write_file(root_ / "d/other", "untouched");
  fs::create_directory_symlink(root_ / "d/sub", root_ / "d/link");
  fs::create_directory_symlink(root_ / "outside", root_ / "d/out");
  fs::create_symlink(root_ / "outside/uevent", root_ / "d/sub/uevent-link");

  const std::vector<fs::path> written = {d / "uevent", d / "sub/uevent", d / "sub/deeper/uevent"};
  for (const std::string action : {"add", "change", "remove"}) {
    SCOPED_TRACE(action);
    walk(d, action);
    std::vector<std::string> expected;
    for (const auto& file : written) {
      EXPECT_EQ(read_file(file), action) << file;
      expected.push_back(triggered(action, file));
    }
    // Each file exactly once: the links to d/sub and to outside are not walked.
    EXPECT_EQ(sorted(lines()), sorted(expected));
    EXPECT_EQ(read_file(root_ / "outside/uevent"), "stale text longer than any action\n");
    EXPECT_EQ(read_file(root_ / "d/other"), "untouched");
    EXPECT_FALSE(fs::exists(root_ / "d/empty/uevent"));
  }
}

TEST_F(TriggerTest, WalksEachSubtreeCompletelyBeforeTheNextEntry) {
  const fs::path d = dir("d");
  const std::vector<std::string> tops = {"a", "b", "c", "e"};
  for (const auto& top : tops) {
    dir("d/" + top + "/x/y");
    dir("d/" + top + "/z");
    for (const char* below : {"/uevent", "/x/uevent", "/x/y/uevent", "/z/uevent"}) {
      write_file(d / (top + below), "");
    }
  }
  walk(d, "add");
  const auto logged = lines();
  ASSERT_EQ(logged.size(), 4 * tops.size());

  // The subtree of each top-level directory forms one block of lines, and the
  // blocks come in the order the directory lists its entries.
  std::vector<std::string> listing_order;
  for (const auto& entry : fs::directory_iterator(d)) listing_order.push_back(entry.path().filename());
  for (std::size_t block = 0; block < listing_order.size(); ++block) {
    const std::string prefix = "DEBUG Triggering uevent \"add\" for \"" + (d / listing_order[block]).native() + "/";
    for (std::size_t i = 4 * block; i < 4 * block + 4; ++i) {
      EXPECT_TRUE(logged[i].starts_with(prefix)) << logged[i] << " should start with " << prefix;
    }
  }
}

TEST_F(TriggerTest, UnwritableUeventWarnsAndTheWalkGoesOn) {
  const fs::path d = dir("d");
  // An entry called "uevent" that cannot be opened for writing, even by
  // root; it is written to, never walked.
  dir("d/a/uevent");
  write_file(d / "a/uevent/uevent", "inside");
  dir("d/b");
  write_file(d / "b/uevent", "");

  walk(d, "change");

  EXPECT_EQ(sorted(lines()),
            sorted({"WARN Failed to trigger uevent \"change\" for \"" + (d / "a/uevent").native() +
                        "\": Is a directory (os error 21)",
                    triggered("change", d / "b/uevent")}));
  EXPECT_EQ(read_file(d / "b/uevent"), "change");
  EXPECT_EQ(read_file(d / "a/uevent/uevent"), "inside");
}

TEST_F(TriggerTest, StartDirectoryThatCannotBeListedGivesOneWarning) {
  write_file(root_ / "plain-file", "");
  for (const fs::path& start : {root_ / "missing", root_ / "plain-file", fs::path("")}) {
    walk(start, "add");
    EXPECT_EQ(lines(), std::vector<std::string>{"WARN \"" + start.native() +
                                                "\" is inaccessible. Check your system configuration."});
  }
}

TEST_F(TriggerTest, SubdirectoryThatCannotBeListedIsSkippedSilently) {
  // A directory whose path is longer than PATH_MAX cannot be opened by path,
  // not even by root. Its parent, with a shorter path, lists it.
  const fs::path d = dir("d");
  dir("d/before");
  dir("d/after");
  write_file(d / "before/uevent", "");
  write_file(d / "after/uevent", "");
  dir("d/deep");
  const std::string component(200, 'n');
  int fd = ::open((d / "deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  fs::path deepest = d / "deep";
  while (deepest.native().size() <= PATH_MAX) {
    ASSERT_EQ(::mkdirat(fd, component.c_str(), 0755), 0);
    const int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    deepest /= component;
  }
  const int uevent = ::openat(fd, "uevent", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(uevent, 0);
  ::close(uevent);
  ::close(fd);
  struct Cleanup {
    fs::path parent;
    ~Cleanup() {
      const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      remove_tree_at(parent_fd, "deep");
      ::close(parent_fd);
    }
  } cleanup{d};

  EXPECT_EQ(walk_directory(deepest), ENAMETOOLONG);
  EXPECT_EQ(walk_directory(root_ / "missing"), ENOENT);
  EXPECT_EQ(lines(), std::vector<std::string>{});

  walk(d, "add");
  EXPECT_EQ(sorted(lines()), sorted({triggered("add", d / "before/uevent"), triggered("add", d / "after/uevent")}));
  EXPECT_EQ(walk_directory(d), std::nullopt);
}

}  // namespace
}  // namespace korvid::trigger
