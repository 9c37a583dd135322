// The event pipeline in process: real rule files, a temporary device root.
#include "device.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "daemon_process.hpp"
#include "korvid/log.hpp"
#include "rules.hpp"

namespace korvid::device {
namespace {

using namespace std::chrono_literals;
using kobject_uevent::KobjectUevent;
using korvid::testing::TempDir;
namespace asio = boost::asio;

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KORVID_DEV_ROOT", root_.path().c_str(), 1);
    ::setenv("KORVID_EXTRA_RULE_DIRS", rules_dir_.path().c_str(), 1);
    log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(log_), "korvid=warn,rule::engine=warn");
    for (const auto& key : DeviceRegistry::instance().keys()) DeviceRegistry::instance().remove(key);
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  void TearDown() override {
    guard_.reset();
    for (auto& t : threads_) t.join();
    ::unsetenv("KORVID_DEV_ROOT");
    ::unsetenv("KORVID_EXTRA_RULE_DIRS");
    rules_dir_files_clear();
    rules::load_rules();
  }

  void rules(const std::string& text) {
    std::ofstream(rules_dir_ / "10-test.rules") << text;
    rules::load_rules();
  }
  void rules_dir_files_clear() { std::filesystem::remove(rules_dir_ / "10-test.rules"); }

  std::future<void> start(KobjectUevent::Properties properties) {
    return asio::co_spawn(io_, handle_uevent(KobjectUevent(std::move(properties))), asio::use_future);
  }
  void run(KobjectUevent::Properties properties) {
    auto done = start(std::move(properties));
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
    done.get();
  }

  // A stand-in for the node the monitor (or devtmpfs) would have made.
  std::string make_node(const std::string& name, mode_t mode = 0600) {
    const auto path = root_ / name;
    std::ofstream(path) << "";
    ::chmod(path.c_str(), mode);
    return path.string();
  }

  // Each captured WARN line from its target on.
  std::vector<std::string> warnings() {
    std::vector<std::string> result;
    std::istringstream in(log_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line.substr(line.find(" WARN ") + 6));
    return result;
  }

  std::string link_target(const std::string& name) {
    std::error_code ec;
    return std::filesystem::read_symlink(root_ / name, ec).string();
  }

  TempDir root_, rules_dir_;
  std::ostringstream log_;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_{io_.get_executor()};
  std::vector<std::thread> threads_;
};

KobjectUevent::Properties add_event(const std::string& devpath, const std::string& devname) {
  return {{"ACTION", "add"}, {"DEVPATH", devpath}, {"DEVNAME", devname}, {"SUBSYSTEM", "test"}};
}

TEST_F(Pipeline, AddAppliesOwnershipPermissionsAndRegisters) {
  rules(R"([ Rule(when: Match("DEVNAME", "node1"),
                  actions: [Set("OWNER", "1234"), Set("GROUP", "5678"), Set("MODE", "0o640")]) ])");
  const std::string node = make_node("node1");
  run(add_event("/devices/test/node1", "node1"));
  struct stat st{};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  auto device = DeviceRegistry::instance().lookup("/devices/test/node1");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->environment.get("DEVNODE"), node);
  EXPECT_EQ(device->environment.get("DEVROOT"), root_.path().string());
  EXPECT_TRUE(warnings().empty()) << log_.str();
}

TEST_F(Pipeline, InvalidModeWarnsAndLeavesTheMode) {
  rules(R"([ (when: True, do: [Set("MODE", "0660"), Set("OWNER", "no-such-user-korvid")]) ])");
  const std::string node = make_node("node2", 0604);
  run(add_event("/devices/test/node2", "node2"));
  struct stat st{};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "korvid::util: Unrecognized user \"no-such-user-korvid\", fallbacking to root",
                            "korvid::util: Invalid mode \"0660\", fallbacking to the default value"}));
}

TEST_F(Pipeline, MissingNodeStillTriesOwnership) {
  rules("[]");
  run(add_event("/devices/test/ghost", "ghost"));
  EXPECT_EQ(warnings(), std::vector<std::string>{"korvid::device: " + (root_ / "ghost").string() +
                                                 ": failed to set ownership: No such file or directory (os error 2)"});
  EXPECT_TRUE(DeviceRegistry::instance().lookup("/devices/test/ghost"));
}

TEST_F(Pipeline, LinksAreCreatedOnAddAndTheStoredListRemovedOnRemove) {
  rules(R"([ Rule(when: Match("ACTION", "add"),
                  actions: [Add("SYMLINKS", ["{DEVROOT}/by-name/{DEVNAME}"]), Add("SYMLINKS", ["{DEVROOT}/alias"])]) ])");
  const std::string node = make_node("sdz");
  run(add_event("/devices/test/sdz", "sdz"));
  EXPECT_EQ(link_target("by-name/sdz"), node);
  EXPECT_EQ(link_target("alias"), node);

  run({{"ACTION", "remove"}, {"DEVPATH", "/devices/test/sdz"}, {"DEVNAME", "sdz"}});
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root_ / "alias")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root_ / "by-name/sdz")));
  EXPECT_TRUE(std::filesystem::is_directory(root_ / "by-name"));  // directories made for links stay
  EXPECT_FALSE(DeviceRegistry::instance().lookup("/devices/test/sdz"));
  EXPECT_TRUE(warnings().empty()) << log_.str();
}

TEST_F(Pipeline, ExistingLinksStopOrFailAsTheyShould) {
  make_node("sdy");
  std::filesystem::create_symlink("/elsewhere", root_ / "taken");
  std::filesystem::create_symlink((root_ / "sdy").string() + "/", root_ / "done");
  rules(R"([ (when: True, do: [Add("SYMLINKS", ["{DEVROOT}/taken"]), Add("SYMLINKS", ["{DEVROOT}/done"]),
                               Add("SYMLINKS", ["{DEVROOT}/never"])]) ])");
  run(add_event("/devices/test/sdy", "sdy"));
  EXPECT_EQ(link_target("taken"), "/elsewhere");
  // "done" already points at the node (trailing separator aside): later entries are left alone.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root_ / "never")));
  EXPECT_EQ(warnings(), std::vector<std::string>{"korvid::device: " + (root_ / "sdy").string() +
                                                 ": failed to create symbolic link \"" + (root_ / "taken").string() +
                                                 "\": File exists (os error 17)"});
}

TEST_F(Pipeline, UnsettingDevnodeSuppressesNodeWork) {
  rules(R"([ (when: True, do: [Unset("DEVNODE"), Set("OWNER", "no-such-user-korvid"), Set("MODE", "bad"),
                               Add("SYMLINKS", ["{DEVROOT}/link"])]) ])");
  run(add_event("/devices/test/quiet", "quiet"));
  EXPECT_TRUE(warnings().empty()) << log_.str();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root_ / "link")));
  EXPECT_TRUE(DeviceRegistry::instance().lookup("/devices/test/quiet"));
}

TEST_F(Pipeline, ChangeRunsRulesButTouchesNoFile) {
  rules(R"([ (when: Match("ACTION", "change"),
              do: [Set("MODE", "0o600"), Add("SYMLINKS", ["{DEVROOT}/changed"]), Set("SEEN", "yes")]) ])");
  const std::string node = make_node("tty9", 0644);
  run(add_event("/devices/test/tty9", "tty9"));
  run({{"ACTION", "change"}, {"DEVPATH", "/devices/test/tty9"}, {"EXTRA", "1"}});
  struct stat st{};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root_ / "changed")));
  auto device = DeviceRegistry::instance().lookup("/devices/test/tty9");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->environment.get("SEEN"), "yes");
  EXPECT_EQ(device->environment.get("EXTRA"), "1");
}

TEST_F(Pipeline, UnknownActionWarnsAndMissingFieldsAreIgnored) {
  rules("[]");
  run({{"ACTION", "bind"}, {"DEVPATH", "/devices/test/b"}});
  run({{"DEVPATH", "/devices/test/none"}});
  run({{"ACTION", "add"}, {"DEVNAME", "nodevpath"}});
  run({{"ACTION", "remove"}, {"DEVPATH", "/devices/test/never-added"}});
  EXPECT_EQ(warnings(), std::vector<std::string>{
                            "korvid::device: Unrecognized uevent action \"bind\", should we update korvid?"});
  EXPECT_TRUE(DeviceRegistry::instance().keys().empty());
}

TEST_F(Pipeline, TwoAddsForOnePathLeaveOneEntry) {
  rules("[]");
  run({{"ACTION", "add"}, {"DEVPATH", "/devices/test/dup"}, {"N", "1"}});
  run({{"ACTION", "add"}, {"DEVPATH", "/devices/test/dup"}, {"N", "2"}});
  EXPECT_EQ(DeviceRegistry::instance().keys(), std::vector<std::string>{"/devices/test/dup"});
  EXPECT_EQ(DeviceRegistry::instance().lookup("/devices/test/dup")->environment.get("N"), "2");
}

TEST_F(Pipeline, RemoveWaitsBehindASlowChange) {
  const auto marker = rules_dir_ / "marker";
  rules(R"([ (when: Match("ACTION", "change"), do: [Command("touch )" + marker.string() + R"(; sleep 0.5")]) ])");
  run({{"ACTION", "add"}, {"DEVPATH", "/devices/test/slow"}});
  auto change = start({{"ACTION", "change"}, {"DEVPATH", "/devices/test/slow"}});
  ASSERT_TRUE(korvid::testing::eventually([&] { return std::filesystem::exists(marker); }));
  auto remove = start({{"ACTION", "remove"}, {"DEVPATH", "/devices/test/slow"}});
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(DeviceRegistry::instance().lookup("/devices/test/slow"));  // the change still holds the lock
  ASSERT_EQ(change.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(remove.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(DeviceRegistry::instance().lookup("/devices/test/slow"));
}

TEST(Devnode, IsFormedAsTextFromTheRoot) {
  ::setenv("KORVID_DEV_ROOT", "/tmp/d/", 1);
  rule::Environment env;
  import_event(env, KobjectUevent(KobjectUevent::Properties{{"DEVNAME", "sda"}}));
  EXPECT_EQ(env.get("DEVNODE"), "/tmp/d//sda");
  ::setenv("KORVID_DEV_ROOT", "", 1);
  import_event(env, KobjectUevent(KobjectUevent::Properties{{"DEVNAME", "sda"}}));
  EXPECT_EQ(env.get("DEVNODE"), "/sda");
  ::unsetenv("KORVID_DEV_ROOT");
  rule::Environment bare;
  import_event(bare, KobjectUevent(KobjectUevent::Properties{{"X", "1"}}));
  EXPECT_FALSE(bare.get("DEVNODE"));
  EXPECT_EQ(new_device_environment()->environment.get("DEVROOT"), "/dev");
}

}  // namespace
}  // namespace korvid::device
