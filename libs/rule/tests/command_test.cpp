#include "rule/command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine_test_support.hpp"

namespace rule {
namespace {

using namespace std::chrono_literals;

std::string describe(const Result<void>& r) { return r ? "ok" : "error: " + r.error().text(); }
std::string describe(const Result<std::string>& r) { return r ? "value: " + *r : "error: " + r.error().text(); }

std::string failure(const std::string& command, const std::string& message) {
  return "error: Failed to execute command \"" + command + "\": " + message;
}

EngineSettings with_shell(std::vector<std::string> shell) {
  EngineSettings s;
  s.shell = std::move(shell);
  return s;
}

EngineSettings with_timeout(TimeoutKill kill, std::chrono::milliseconds limit = 300ms) {
  EngineSettings s;
  s.timeout = limit;
  s.timeout_kill = kill;
  return s;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The state letter of /proc/<pid>/stat, or nothing when the process is gone.
std::optional<char> process_state(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return std::nullopt;
  return stat[paren + 2];
}

// Waits (generously) until the process is gone: ended and reaped.
bool reaped_within(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process_state(pid)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class Commands : public ::testing::Test {
 protected:
  std::string temp_path(const std::string& name) {
    std::string path = ::testing::TempDir() + "/korvid-command-" + std::to_string(::getpid()) + "-" + name;
    std::remove(path.c_str());
    return path;
  }
  // Reads the pid a command wrote with `echo $$ > file`.
  pid_t pid_from(const std::string& path) {
    const std::string text = read_file(path);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
  }

  testing::ThreadedIoContext io_;
};

TEST_F(Commands, RunForEffectJudgesTheExit) {
  struct Case {
    EngineSettings settings;
    std::string command;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, "exit 0", "ok"},
      {{}, "true; false; true", "ok"},
      {{}, "exit 3", failure("exit 3", "process exited with code 3")},
      {{}, "kill -9 $$", failure("kill -9 $$", "process exited with code -2147483648")},
      {{}, "kill -TERM $$", failure("kill -TERM $$", "process exited with code -2147483648")},
      // The shell starts; only the program inside it is missing.
      {{}, "korvid-no-such-program", failure("korvid-no-such-program", "process exited with code 127")},
      {with_shell({"/nonexistent/sh", "-c"}), "true", failure("true", "No such file or directory (os error 2)")},
      {with_shell({"/etc/passwd", "-c"}), "true", failure("true", "Permission denied (os error 13)")},
      // The program is looked up in PATH; the command text is its last argument.
      {with_shell({"test", "-n"}), "text", "ok"},
      {with_shell({"test", "-z"}), "text", failure("text", "process exited with code 1")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(io_.run(run_command(c.settings, c.command))), c.expected) << c.command;
  }
}

TEST_F(Commands, RunForOutputTrimsAndJudges) {
  struct Case {
    std::string command;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"printf '  value \\n'", "value: value"},
      {"true", "value: "},
      {"printf ' a  b \\t\\n\\n'", "value: a  b"},
      // U+2003 EM SPACE, U+00A0 NO-BREAK SPACE, U+3000 around a non-ASCII value.
      {"printf '\\342\\200\\203\\302\\240\\303\\251t\\303\\251\\343\\200\\200'", "value: été"},
      {"printf '\\377\\376'", failure("printf '\\377\\376'", "wait() failure")},
      {"printf 'ok\\n\\377'", failure("printf 'ok\\n\\377'", "wait() failure")},
      {"echo partial; exit 2", failure("echo partial; exit 2", "process exited with code 2")},
      {"echo to-stderr >&2", "value: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(io_.run(run_command_for_output({}, c.command))), c.expected) << c.command;
  }
}

TEST_F(Commands, RunForOutputCollectsLargeOutput) {
  const Result<std::string> r = io_.run(run_command_for_output({}, "head -c 300000 /dev/zero | tr '\\0' a"));
  ASSERT_TRUE(r) << describe(r);
  EXPECT_EQ(*r, std::string(300000, 'a'));
}

TEST(TrimUnicodeWhitespace, StripsBothEndsOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {" \t\r\n\v\f", ""},
      {"\xc2\x85x\xe2\x80\xa8", "x"},    // U+0085, U+2028
      {"\xe2\x80\x8bx", "\xe2\x80\x8bx"},  // U+200B ZERO WIDTH SPACE is not white space
      {"a \xe3\x80\x80 b", "a \xe3\x80\x80 b"},
      {"\xc3\xa9", "\xc3\xa9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_unicode_whitespace(in), out) << in;
}

// Each command writes its pid, then outlives the 300 ms limit.
TEST_F(Commands, TimeOutAppliesTheKillTreatmentAndReapsTheChild) {
  struct Case {
    TimeoutKill kill;
    std::string script;  // runs after the pid is written
    bool alive_after_time_out;
  };
  const std::vector<Case> cases = {
      {TimeoutKill::Leave, "exec sleep 3", true},
      {TimeoutKill::Terminate, "exec sleep 30", false},
      // SIGTERM ignored: Terminate leaves it running, Kill does not.
      {TimeoutKill::Terminate, "trap '' TERM; exec sleep 3", true},
      {TimeoutKill::Kill, "trap '' TERM; exec sleep 30", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script + " / " + std::to_string(static_cast<int>(c.kill)));
    const std::string pid_file = temp_path("timeout-pid");
    const std::string command = "echo $$ > " + pid_file + "; " + c.script;
    EXPECT_EQ(describe(io_.run(run_command(with_timeout(c.kill), command))), failure(command, "Timed out"));
    const pid_t pid = pid_from(pid_file);
    ASSERT_GT(pid, 0);
    if (c.alive_after_time_out) {
      std::this_thread::sleep_for(300ms);  // a signal, had one been sent, has arrived by now
      const std::optional<char> state = process_state(pid);
      ASSERT_TRUE(state.has_value());
      EXPECT_NE(*state, 'Z');
    }
    // Whether killed or left to finish, the child must not stay a zombie.
    EXPECT_TRUE(reaped_within(pid, 30s)) << "state " << process_state(pid).value_or('-');
  }
}

TEST_F(Commands, ProviderThatClosesItsOutputIsStillTimedOut) {
  const std::string pid_file = temp_path("closed-stdout-pid");
  const std::string command = "echo $$ > " + pid_file + "; exec >&-; exec sleep 30";
  EXPECT_EQ(describe(io_.run(run_command_for_output(with_timeout(TimeoutKill::Kill), command))),
            failure(command, "Timed out"));
  const pid_t pid = pid_from(pid_file);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(reaped_within(pid, 30s));
}

TEST_F(Commands, ProviderTimedOutWhileStillWriting) {
  const std::string command = "while :; do echo x; sleep 0.05; done";
  EXPECT_EQ(describe(io_.run(run_command_for_output(with_timeout(TimeoutKill::Kill), command))),
            failure(command, "Timed out"));
}

// A descriptor korvid forgot to mark close-on-exec, and the pipes of
// concurrent commands, must not reach a child.
TEST_F(Commands, ChildrenInheritOnlyTheStandardStreams) {
  const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(devnull, 0);
  const int leaked = ::fcntl(devnull, F_DUPFD, 60);  // no FD_CLOEXEC on the copy
  ::close(devnull);
  ASSERT_GE(leaked, 60);

  const std::string list = "ls /proc/self/fd";
  std::vector<std::future<Result<std::string>>> running;
  for (int i = 0; i < 6; ++i) running.push_back(io_.start(run_command_for_output({}, list)));
  for (auto& f : running) {
    const Result<std::string> r = testing::ThreadedIoContext::finish(std::move(f));
    ASSERT_TRUE(r) << describe(r);
    // 0, 1 (the pipe), 2, and the descriptor ls reads the listing with.
    EXPECT_EQ(*r, "0\n1\n2\n3");
  }
  const std::string file = temp_path("fd-list");
  EXPECT_EQ(describe(io_.run(run_command({}, list + " > " + file))), "ok");
  EXPECT_EQ(read_file(file), "0\n1\n2\n3\n");
  ::close(leaked);
}

// The mask of one "Sig...:" line of a /proc/<pid>/status text.
std::uint64_t signal_mask(const std::string& status, const std::string& field) {
  const auto at = status.find(field + ":\t");
  if (at == std::string::npos) return ~0ULL;
  return std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
}

std::uint64_t bit(int sig) { return 1ULL << (sig - 1); }

TEST_F(Commands, ChildStartsWithDefaultSignalsAndEmptyMask) {
  // The workers block SIGUSR1 and the process ignores SIGPIPE; the child
  // keeps only what the test process ignored before that.
  const std::uint64_t parent_ignored = signal_mask(read_file("/proc/self/status"), "SigIgn");
  ASSERT_NE(parent_ignored & bit(SIGPIPE), 0u);
  const Result<std::string> r = io_.run(run_command_for_output({}, "cat /proc/self/status"));
  ASSERT_TRUE(r) << describe(r);
  EXPECT_EQ(signal_mask(*r, "SigBlk"), 0u);
  // glibc's two internal real-time signals (32, 33) are reset as well; a
  // parent started by posix_spawn may have them ignored.
  EXPECT_EQ(signal_mask(*r, "SigIgn"), parent_ignored & ~(bit(SIGPIPE) | bit(32) | bit(33)));
}

// A provider must not wait for unrelated children started at the same time
// (they would hold its pipe open if they inherited it).
TEST_F(Commands, ProviderReturnsWhileConcurrentCommandsRun) {
  const std::string release = temp_path("release");
  const std::string waiter = "while [ ! -e " + release + " ]; do sleep 0.02; done";
  std::vector<std::future<Result<void>>> waiters;
  std::vector<std::future<Result<std::string>>> providers;
  for (int i = 0; i < 4; ++i) {
    providers.push_back(io_.start(run_command_for_output({}, "sleep 0.1; echo value" + std::to_string(i))));
    waiters.push_back(io_.start(run_command({}, waiter)));
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(describe(testing::ThreadedIoContext::finish(std::move(providers[i]))),
              "value: value" + std::to_string(i));
  }
  for (auto& w : waiters) EXPECT_NE(w.wait_for(0s), std::future_status::ready);
  std::ofstream(release).put('\n');
  for (auto& w : waiters) EXPECT_EQ(describe(testing::ThreadedIoContext::finish(std::move(w))), "ok");
}

}  // namespace
}  // namespace rule
