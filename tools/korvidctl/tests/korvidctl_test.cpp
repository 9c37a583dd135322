// Runs the built korvidctl against fake servers on test-only socket names
// (KORVIDCTL_SOCKET) and over rule files, checking exit statuses and the
// exact output.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>
#include <re2/re2.h>

#include "ipc/server.hpp"
#include "ipc_request.hpp"

extern char** environ;

namespace korvidctl {
namespace {

namespace fs = std::filesystem;
using korvid::ipc::MethodResult;
using korvid::ipc::Request;
using korvid::ipc::RpcError;

std::string unique_name() {
  static std::atomic<int> counter{0};
  return "korvidctl-test/" + std::to_string(::getpid()) + "/" + std::to_string(counter++);
}

// ---------------------------------------------------------------------------
// Running the binary.

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out, err;
};

class Ctl {
 public:
  Ctl(const std::vector<std::string>& arguments, const std::vector<std::string>& extra_env) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv_text = {KORVIDCTL_PATH};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (!entry.starts_with("KORVIDCTL_SOCKET=") && !entry.starts_with("KORVID_SYSFS_ROOT=")) env_text.push_back(entry);
    }
    env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, KORVIDCTL_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (spawned != 0) throw std::runtime_error("posix_spawn");
  }

  // Reads both streams to their end and reaps the process; kills it after
  // a minute so that a hanging client fails the test instead of the suite.
  Outcome finish() {
    Outcome outcome;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (out_fd_ >= 0 || err_fd_ >= 0) {
      pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
      if (::poll(fds, 2, 100) < 0 && errno != EINTR) break;
      if (std::chrono::steady_clock::now() > limit) {
        ::kill(pid_, SIGKILL);
        ADD_FAILURE() << "korvidctl did not finish within a minute";
      }
      drain(out_fd_, outcome.out);
      drain(err_fd_, outcome.err);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
  }

 private:
  static void drain(int& fd, std::string& into) {
    if (fd < 0) return;
    char buffer[4096];
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        ::close(fd);
        fd = -1;
      }
      return;
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
};

Outcome run_ctl(const std::vector<std::string>& arguments, const std::vector<std::string>& env = {}) {
  return Ctl(arguments, env).finish();
}

// ---------------------------------------------------------------------------
// A fake daemon: the real accept loop and request decoder, with answers the
// test chooses, recording every request it decoded.

class FakeDaemon {
 public:
  explicit FakeDaemon(std::string name = unique_name()) : name_(std::move(name)) {
    auto listener = korvid::ipc::bind_server(context_.get_executor(), name_);
    if (!listener) throw std::system_error(listener.error());
    korvid::ipc::Responder respond = [this](std::span<const std::uint8_t> body) { return answer(body); };
    boost::asio::co_spawn(context_, korvid::ipc::run_accept_loop(std::move(*listener), respond, nullptr),
                          [](std::exception_ptr) {});
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { context_.run(); });
  }
  ~FakeDaemon() {
    context_.stop();
    for (auto& thread : threads_) thread.join();
  }

  std::string env() const { return "KORVIDCTL_SOCKET=" + name_; }

  std::vector<Request> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> methods() {
    std::vector<std::string> names;
    for (const auto& request : requests()) names.emplace_back(korvid::ipc::method_name(request));
    return names;
  }

  // Answers; set before the client runs. list_answer gets the number of
  // earlier ListDevices requests and the condition.
  MethodResult trigger_answer = nullptr;
  MethodResult reload_answer = nullptr;
  std::function<MethodResult(int, const rule::When&)> list_answer = [](int, const rule::When&) {
    return MethodResult(std::vector<std::string>{});
  };
  std::optional<MethodResult> idle_answer = MethodResult(nullptr);  // nullopt: never answers
  bool close_without_answer = false;

 private:
  boost::asio::awaitable<MethodResult> answer(std::span<const std::uint8_t> body) {
    auto request = korvid::ipc::decode_request(body);
    if (!request) co_return RpcError::BadRequest;
    int earlier_lists = 0;
    {
      std::lock_guard lock(mutex_);
      for (const auto& r : requests_) earlier_lists += std::holds_alternative<korvid::ipc::ListDevices>(r);
      requests_.push_back(*request);
    }
    if (close_without_answer) throw std::runtime_error("fake daemon drops the connection");
    if (std::holds_alternative<korvid::ipc::Trigger>(*request)) co_return trigger_answer;
    if (std::holds_alternative<korvid::ipc::ReloadRules>(*request)) co_return reload_answer;
    if (const auto* list = std::get_if<korvid::ipc::ListDevices>(&*request))
      co_return list_answer(earlier_lists, list->condition);
    if (idle_answer) co_return *idle_answer;
    boost::asio::steady_timer never(co_await boost::asio::this_coro::executor, std::chrono::hours(1));
    co_await never.async_wait(boost::asio::use_awaitable);
    co_return nullptr;
  }

  std::string name_;
  std::mutex mutex_;
  std::vector<Request> requests_;
  boost::asio::io_context context_;
  std::vector<std::thread> threads_;
};

rule::When json_condition(const std::string& text) {
  auto condition = korvid::ipc::decode_condition(text);
  if (!condition) throw std::invalid_argument(text);
  return *condition;
}

const std::string kTrigger = "/quennetos/Korvid/Trigger@KORVID_0.1.0";
const std::string kList = "/quennetos/Korvid/ListDevices@KORVID_0.1.0";
const std::string kIdle = "/quennetos/Korvid/WaitForIdle@KORVID_0.1.0";
const std::string kReload = "/quennetos/Korvid/ReloadRules@KORVID_0.1.0";

// ---------------------------------------------------------------------------

TEST(KorvidctlList, PrintsOnePathPerLineOrOneJsonArray) {
  FakeDaemon daemon;
  daemon.list_answer = [](int, const rule::When&) {
    return MethodResult(std::vector<std::string>{"/devices/a", "/devices/b c"});
  };

  auto outcome = run_ctl({"list"}, {daemon.env()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "/devices/a\n/devices/b c\n");
  EXPECT_EQ(outcome.err, "");

  outcome = run_ctl({"list", "--json"}, {daemon.env()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "[\"/devices/a\",\"/devices/b c\"]\n");

  daemon.list_answer = [](int, const rule::When&) { return MethodResult(std::vector<std::string>{}); };
  outcome = run_ctl({"list"}, {daemon.env()});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  outcome = run_ctl({"list", "--json"}, {daemon.env()});
  EXPECT_EQ(outcome.out, "[]\n");
}

TEST(KorvidctlList, SendsTheConditionInItsJsonForm) {
  const struct {
    std::vector<std::string> arguments;
    std::string sent;  // the condition the daemon must receive, as JSON
  } cases[] = {
      {{"list"}, R"("True")"},
      {{"list", R"(All([Match("SUBSYSTEM", "block"), PartMatch("DEVNAME", "loop")]))"},
       R"({"All":[{"Match":["SUBSYSTEM","block"]},{"PartMatch":["DEVNAME","loop"]}]})"},
      {{"list", R"(Not(Match("DEVNAME", ["{KERNEL}"])))"}, R"({"Not":{"Match":["DEVNAME",["{KERNEL}"]]}})"},
      {{"list", "--json-condition", R"({"Any":[{"PartMatch":["DEVNAME","tty"]},"False"]})"},
       R"({"Any":[{"PartMatch":["DEVNAME","tty"]},"False"]})"},
  };
  for (const auto& c : cases) {
    FakeDaemon daemon;
    const auto outcome = run_ctl(c.arguments, {daemon.env()});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(daemon.requests(), std::vector<Request>{korvid::ipc::ListDevices{json_condition(c.sent)}}) << c.sent;
  }
}

TEST(KorvidctlList, BadConditionsAreUsageErrorsAndNothingIsSent) {
  FakeDaemon daemon;
  const struct {
    std::vector<std::string> arguments;
    std::string err;
  } cases[] = {
      {{"list", R"(Match("SUBSYSTEM"))"},
       "korvidctl: invalid condition: 1:18: invalid length 1, expected tuple variant When::Match with 2 elements\n"},
      {{"list", "Maybe"},
       "korvidctl: invalid condition: 1:1: unknown variant `Maybe`, expected one of `All`, `Any`, `Not`, `True`, "
       "`False`, `Match`, `PartMatch`\n"},
      {{"list", "--json-condition", R"({"Match":["SUBSYSTEM"]})"},
       "korvidctl: invalid --json-condition: not a condition in the JSON form\n"},
      {{"list", "--json-condition", "True"}, "korvidctl: invalid --json-condition: not a condition in the JSON form\n"},
  };
  for (const auto& c : cases) {
    const auto outcome = run_ctl(c.arguments, {daemon.env()});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_TRUE(daemon.requests().empty());
}

TEST(KorvidctlReplies, ErrorRepliesArePrintedByNameWithStatusOne) {
  const struct {
    std::vector<std::string> arguments;
    RpcError error;
    std::string err;
  } cases[] = {
      {{"trigger"}, RpcError::BadRequest, "korvidctl: the daemon answered /Tessaro/BadRequest@TESSARO_LITE_1\n"},
      {{"reload"}, RpcError::PermissionDenied,
       "korvidctl: the daemon answered /Tessaro/PermissionDenied@TESSARO_LITE_1\n"},
      {{"settle"}, RpcError::NotImplemented, "korvidctl: the daemon answered /Tessaro/NotImplemented@TESSARO_LITE_1\n"},
      {{"list"}, RpcError::DeliveryError, "korvidctl: the daemon answered /Tessaro/DeliveryError@TESSARO_LITE_1\n"},
      {{"reload"}, RpcError::BadReply, "korvidctl: the daemon answered /Tessaro/BadReply@TESSARO_LITE_1\n"},
  };
  for (const auto& c : cases) {
    FakeDaemon daemon;
    daemon.trigger_answer = daemon.reload_answer = c.error;
    daemon.idle_answer = c.error;
    daemon.list_answer = [&](int, const rule::When&) { return MethodResult(c.error); };
    const auto outcome = run_ctl(c.arguments, {daemon.env()});
    EXPECT_EQ(outcome.status, 1) << c.arguments[0];
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.out, "");
  }
}

TEST(KorvidctlReplies, TooLargeListIsExplained) {
  // The real server sends its fixed fallback for a reply beyond one frame.
  FakeDaemon daemon;
  daemon.list_answer = [](int, const rule::When&) {
    return MethodResult(std::vector<std::string>(1000, std::string(100, 'd')));
  };
  const auto outcome = run_ctl({"list"}, {daemon.env()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "korvidctl: the daemon answered /Tessaro/BadReply@TESSARO_LITE_1: the reply was too large to send; "
            "narrow the condition\n");
  EXPECT_EQ(outcome.out, "");
}

TEST(KorvidctlReplies, RepliesThatMakeNoSenseFail) {
  const struct {
    std::vector<std::string> arguments;
    MethodResult answer;
    std::string err;
  } cases[] = {
      {{"list"}, nlohmann::json{{"x", 1}}, "korvidctl: unexpected reply from korvid: {\"x\":1}\n"},
      {{"list"}, nlohmann::json::array({"/a", 2}), "korvidctl: unexpected reply from korvid: [\"/a\",2]\n"},
      {{"reload"}, nlohmann::json::array(), "korvidctl: unexpected reply from korvid: []\n"},
      {{"trigger"}, "done", "korvidctl: unexpected reply from korvid: \"done\"\n"},
  };
  for (const auto& c : cases) {
    FakeDaemon daemon;
    daemon.trigger_answer = daemon.reload_answer = c.answer;
    daemon.list_answer = [&](int, const rule::When&) { return c.answer; };
    const auto outcome = run_ctl(c.arguments, {daemon.env()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, c.err);
  }

  FakeDaemon closing;
  closing.close_without_answer = true;
  const auto outcome = run_ctl({"reload"}, {closing.env()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "korvidctl: korvid closed the connection without answering\n");
}

TEST(KorvidctlConnect, NoDaemonListeningExitsWithThree) {
  const std::string env = "KORVIDCTL_SOCKET=" + unique_name();
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"list"}, {"reload"}, {"settle"}, {"trigger"}, {"trigger", "--settle", "--timeout", "0.3"}}) {
    const auto outcome = run_ctl(arguments, {env});
    EXPECT_EQ(outcome.status, 3) << arguments[0];
    EXPECT_EQ(outcome.err,
              "korvidctl: cannot connect to korvid (is the daemon running?): Connection refused (os error 111)\n");
    EXPECT_EQ(outcome.out, "");
  }
}

TEST(KorvidctlSettle, WaitsForIdleOrGivesUp) {
  FakeDaemon daemon;
  auto outcome = run_ctl({"settle"}, {daemon.env()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out + outcome.err, "");
  EXPECT_EQ(daemon.methods(), std::vector<std::string>{kIdle});

  daemon.idle_answer = std::nullopt;
  outcome = run_ctl({"settle", "--timeout", "0.5"}, {daemon.env()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "korvidctl: gave up after 0.5 seconds: korvid is still busy\n");
}

class KorvidctlTrigger : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvidctl-sysfs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "class/mem");
    for (const auto& device : kDevices) {
      const fs::path dir = root_ / device.substr(1);
      fs::create_directories(dir);
      std::ofstream(dir / "uevent") << "";
      fs::create_directory_symlink(root_ / "class/mem", dir / "subsystem");
    }
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string sysfs_env() const { return "KORVID_SYSFS_ROOT=" + root_.native(); }

  // The devices of the fake sysfs tree, by DEVPATH.
  inline static const std::vector<std::string> kDevices = {
      "/devices/virtual/mem/null", "/devices/virtual/mem/null/power/x", "/devices/pci0000:00/0000:00:01.0"};

  // Which of `candidates` a ListDevices condition selects, as the daemon
  // decides it for a Match: the pattern anchored as "^" + pattern + "$".
  static std::vector<std::string> selected(const rule::When& condition, const std::vector<std::string>& candidates) {
    if (std::holds_alternative<rule::True>(condition.value)) return candidates;
    const auto* match = std::get_if<rule::Match>(&condition.value);
    if (match == nullptr || match->key != rule::TextValue::literal("DEVPATH") ||
        match->pattern.kind != rule::TextValue::Kind::Literal) {
      ADD_FAILURE() << "not a Match on DEVPATH";
      return {};
    }
    RE2::Options options;
    options.set_log_errors(false);
    const RE2 pattern("^" + match->pattern.text + "$", options);
    EXPECT_TRUE(pattern.ok()) << match->pattern.text;
    std::vector<std::string> result;
    for (const auto& candidate : candidates) {
      if (RE2::PartialMatch(candidate, pattern)) result.push_back(candidate);
    }
    return result;
  }

  // Each device and a few near misses.
  static std::vector<std::string> lookalikes() {
    std::vector<std::string> all = kDevices;
    for (const char* other : {"/devices/pci0000:00/0000:00:01x0", "/devices/virtual/mem/null/power",
                              "/devices/virtual/mem/nul", "/devices/virtual/mem/null/power/x/y", "/devices/other"}) {
      all.push_back(other);
    }
    return all;
  }

  fs::path root_;
};

TEST_F(KorvidctlTrigger, SendsScopeAndActionAndReturnsAfterTheWalk) {
  FakeDaemon daemon;
  const auto outcome = run_ctl({"trigger", "--scope", "all", "--action", "change"}, {daemon.env(), sysfs_env()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out + outcome.err, "");
  EXPECT_EQ(daemon.requests(), (std::vector<Request>{korvid::ipc::Trigger{"all", "change"}}));

  FakeDaemon defaults;
  EXPECT_EQ(run_ctl({"trigger"}, {defaults.env(), sysfs_env()}).status, 0);
  EXPECT_EQ(defaults.requests(), (std::vector<Request>{korvid::ipc::Trigger{"devices", "add"}}));
}

TEST_F(KorvidctlTrigger, SettleWaitsUntilEveryTriggeredDeviceIsRegistered) {
  FakeDaemon daemon;
  // The registry grows over the polls: other devices first, then one of the
  // triggered ones, then the rest.
  daemon.list_answer = [](int earlier, const rule::When& condition) {
    std::vector<std::string> registered = {"/devices/other", "/devices/virtual/mem/null/power"};
    if (earlier >= 1) registered.push_back("/devices/virtual/mem/null/power/x");
    if (earlier >= 2) registered.insert(registered.end(), kDevices.begin(), kDevices.end());
    return MethodResult(selected(condition, registered));
  };
  const auto outcome = run_ctl({"trigger", "--settle"}, {daemon.env(), sysfs_env()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out + outcome.err, "");
  ASSERT_EQ(daemon.methods(), (std::vector<std::string>{kTrigger, kList, kList, kList, kIdle}));

  // Each poll asks for exactly the devices still missing.
  const auto requests = daemon.requests();
  const auto asked = [&](std::size_t i) {
    auto names = selected(std::get<korvid::ipc::ListDevices>(requests[i]).condition, lookalikes());
    std::sort(names.begin(), names.end());
    return names;
  };
  std::vector<std::string> all = kDevices;
  std::sort(all.begin(), all.end());
  EXPECT_EQ(asked(1), all);
  EXPECT_EQ(asked(2), all);
  EXPECT_EQ(asked(3), (std::vector<std::string>{"/devices/pci0000:00/0000:00:01.0", "/devices/virtual/mem/null"}));
}

TEST_F(KorvidctlTrigger, SettleAfterChangeOnlyWaitsForIdle) {
  FakeDaemon daemon;
  const auto outcome = run_ctl({"trigger", "--action", "change", "--settle"}, {daemon.env(), sysfs_env()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(daemon.methods(), (std::vector<std::string>{kTrigger, kIdle}));
}

TEST_F(KorvidctlTrigger, SettleGivesUpNamingTheMissingCount) {
  FakeDaemon daemon;
  daemon.list_answer = [](int, const rule::When& condition) {
    return MethodResult(selected(condition, {"/devices/virtual/mem/null"}));
  };
  auto outcome = run_ctl({"trigger", "--settle", "--timeout", "0.8"}, {daemon.env(), sysfs_env()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "korvidctl: gave up after 0.8 seconds: 2 of 3 triggered devices are still not registered\n");
  const auto methods = daemon.methods();
  EXPECT_EQ(std::count(methods.begin(), methods.end(), kIdle), 0);

  FakeDaemon busy;
  busy.list_answer = [](int, const rule::When& condition) { return MethodResult(selected(condition, kDevices)); };
  busy.idle_answer = std::nullopt;
  outcome = run_ctl({"trigger", "--settle", "--timeout", "0.8"}, {busy.env(), sysfs_env()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "korvidctl: gave up after 0.8 seconds: korvid is still busy\n");
}

TEST_F(KorvidctlTrigger, SettleRetriesTheConnectionWhileTheDaemonStarts) {
  const std::string name = unique_name();
  Ctl client({"trigger", "--settle", "--timeout", "60"}, {"KORVIDCTL_SOCKET=" + name, sysfs_env()});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  FakeDaemon daemon(name);
  daemon.list_answer = [](int, const rule::When& condition) { return MethodResult(selected(condition, kDevices)); };
  const auto outcome = client.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(daemon.methods(), (std::vector<std::string>{kTrigger, kList, kIdle}));
}

// ---------------------------------------------------------------------------

class KorvidctlVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvidctl-rules-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).native();
  }

  fs::path dir_;
};

TEST_F(KorvidctlVerify, GoodFilesPassQuietly) {
  const auto a = write("10-a.rules", R"([Rule(when: Match("SUBSYSTEM", "block"), actions: [Set("GROUP", "disk")])])");
  const auto b = write("20-b.rules", "// nothing yet\n[]\n");
  auto outcome = run_ctl({"verify", a, b});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out + outcome.err, "");

  write(".hidden", "not rules at all");
  fs::create_directory(dir_ / "subdir");
  outcome = run_ctl({"verify", "--verbose", dir_.native()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, a + ": ok\n" + b + ": ok\n");
  EXPECT_EQ(outcome.err, "");
}

TEST_F(KorvidctlVerify, EachErrorIsPrintedAsFileLineColumnMessage) {
  const auto good = write("10-good.rules", "[]");
  const auto syntax = write("20-syntax.rules", "[\n  Rule(when: Maybe, actions: [])\n]\n");
  const auto missing_field = write("30-field.rules", "[\n  Rule(when: True)\n]");
  const auto not_utf8 = write("40-bytes.rules", "[\xff]");
  const std::string absent = (dir_ / "absent.rules").native();

  auto outcome = run_ctl({"verify", "--verbose", good, syntax, missing_field, not_utf8, absent});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, good + ": ok\n");
  EXPECT_EQ(outcome.err,
            syntax + ":2:14: unknown variant `Maybe`, expected one of `All`, `Any`, `Not`, `True`, `False`, `Match`, "
                     "`PartMatch`\n" +
                missing_field + ":2:18: missing field `actions`\n" + not_utf8 + ": invalid data\n" + absent +
                ": No such file or directory (os error 2)\n");

  // A directory: its regular, non-hidden entries in name order.
  outcome = run_ctl({"verify", dir_.native()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            syntax + ":2:14: unknown variant `Maybe`, expected one of `All`, `Any`, `Not`, `True`, `False`, `Match`, "
                     "`PartMatch`\n" +
                missing_field + ":2:18: missing field `actions`\n" + not_utf8 + ": invalid data\n");
  EXPECT_EQ(outcome.out, "");

  outcome = run_ctl({"verify", good, absent});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, absent + ": No such file or directory (os error 2)\n");
}

}  // namespace
}  // namespace korvidctl
