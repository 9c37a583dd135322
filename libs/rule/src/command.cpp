#include "rule/command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "korvid/error_text.hpp"
#include "korvid/task_failure.hpp"
#include "korvid/utf8.hpp"

extern char** environ;

namespace rule {
namespace {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;
using asio::posix::stream_descriptor;
using namespace asio::experimental::awaitable_operators;

// The exit code reported for a child that a signal ended.
constexpr int kSignalledExitCode = std::numeric_limits<std::int32_t>::min();
// glibc 2.36 does not declare P_PIDFD in <sys/wait.h>; the kernel value is 3.
constexpr idtype_t kPidfdIdType = static_cast<idtype_t>(3);

// Direct system calls: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int send_signal_to_pidfd(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

const char* const kWaitFailure = "wait() failure";
const char* const kTimedOut = "Timed out";

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct SpawnFileActions {
  SpawnFileActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t actions;
};

struct SpawnAttributes {
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t attributes;
};

struct Child {
  pid_t pid = -1;
  UniqueFd pidfd;
  UniqueFd output;  // read end of the stdout pipe, when output is collected
};

struct Started {
  std::optional<Child> child;
  std::string error;  // the start failure's text when there is no child
};

// Last resort when the child cannot be watched through a pidfd: a plain
// thread that blocks in waitpid, so the child still never stays a zombie.
void reap_in_thread(pid_t pid) {
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// glibc's posix_spawn leaves its own internal signals (the real-time ones
// below SIGRTMIN) ignored in the child unless they are in the default set,
// and sigaddset refuses them; set their bits directly.
void add_internal_signal(sigset_t& set, int sig) {
  auto* words = reinterpret_cast<unsigned long*>(&set);
  constexpr int kBits = 8 * sizeof(unsigned long);
  words[(sig - 1) / kBits] |= 1UL << ((sig - 1) % kBits);
}

Started start_child(const EngineSettings& settings, const std::string& command, bool collect_output) {
  if (settings.shell.empty()) return {std::nullopt, korvid::os_error_text(EINVAL)};

  std::vector<char*> argv;
  argv.reserve(settings.shell.size() + 2);
  for (const std::string& arg : settings.shell) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(const_cast<char*>(command.c_str()));
  argv.push_back(nullptr);

  SpawnFileActions file_actions;
  UniqueFd read_end, write_end;
  if (collect_output) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {std::nullopt, korvid::os_error_text(errno)};
    read_end = UniqueFd(fds[0]);
    write_end = UniqueFd(fds[1]);
    // dup2 clears close-on-exec on the copy, so only fd 1 reaches the child.
    if (int err = ::posix_spawn_file_actions_adddup2(&file_actions.actions, write_end.get(), STDOUT_FILENO))
      return {std::nullopt, korvid::os_error_text(err)};
  }
  // Every korvid descriptor is close-on-exec; this catches any that is not
  // (one opened by a library, or a race with a descriptor being created).
  if (int err = ::posix_spawn_file_actions_addclosefrom_np(&file_actions.actions, 3))
    return {std::nullopt, korvid::os_error_text(err)};

  SpawnAttributes attributes;
  sigset_t default_signals, empty_mask;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);  // korvid ignores SIGPIPE; SIG_IGN would survive exec
  for (int sig = __SIGRTMIN; sig < SIGRTMIN; ++sig) add_internal_signal(default_signals, sig);
  sigemptyset(&empty_mask);
  ::posix_spawnattr_setsigdefault(&attributes.attributes, &default_signals);
  ::posix_spawnattr_setsigmask(&attributes.attributes, &empty_mask);
  ::posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  if (int err = ::posix_spawnp(&pid, argv[0], &file_actions.actions, &attributes.attributes, argv.data(), environ))
    return {std::nullopt, korvid::os_error_text(err)};
  write_end.reset();

  Child child;
  child.pid = pid;
  child.pidfd = UniqueFd(open_pidfd(pid));  // close-on-exec by definition
  child.output = std::move(read_end);
  return {std::move(child), {}};
}

// How the wait for the child ended: its exit code, or nothing when waiting
// failed (or was cancelled, in which case nobody looks at the result).
using ExitCode = std::optional<int>;

awaitable<ExitCode> wait_for_exit(stream_descriptor& pidfd) {
  for (;;) {
    boost::system::error_code ec;
    co_await pidfd.async_wait(stream_descriptor::wait_read, asio::redirect_error(use_awaitable, ec));
    if (ec) co_return std::nullopt;
    siginfo_t info{};
    if (::waitid(kPidfdIdType, static_cast<id_t>(pidfd.native_handle()), &info, WEXITED | WNOHANG) != 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      co_return std::nullopt;
    }
    if (info.si_pid == 0) continue;  // woken before the exit was complete
    co_return info.si_code == CLD_EXITED ? info.si_status : kSignalledExitCode;
  }
}

// Owns the pidfd until the child has ended and been reaped.
awaitable<void> reap_when_ended(stream_descriptor pidfd) { (void)co_await wait_for_exit(pidfd); }

void report_escaped_exception(std::exception_ptr e) { korvid::report_task_failure("child reaper", e); }

void reap_in_background(stream_descriptor pidfd) {
  auto executor = pidfd.get_executor();
  asio::co_spawn(executor, reap_when_ended(std::move(pidfd)), report_escaped_exception);
}

struct Finished {
  enum class Kind { Exited, WaitFailed, ReadFailed };
  Kind kind = Kind::WaitFailed;
  int code = 0;
  std::string output;
};

awaitable<Finished> wait_only(stream_descriptor& pidfd) {
  ExitCode code = co_await wait_for_exit(pidfd);
  if (!code) co_return Finished{Finished::Kind::WaitFailed};
  co_return Finished{Finished::Kind::Exited, *code};
}

awaitable<Finished> collect_then_wait(stream_descriptor& output, stream_descriptor& pidfd) {
  Finished finished;
  constexpr std::size_t kChunk = 16 * 1024;
  for (;;) {
    const std::size_t old_size = finished.output.size();
    finished.output.resize(old_size + kChunk);
    boost::system::error_code ec;
    std::size_t n = co_await output.async_read_some(asio::buffer(finished.output.data() + old_size, kChunk),
                                                    asio::redirect_error(use_awaitable, ec));
    finished.output.resize(old_size + n);
    if (ec == asio::error::eof) break;
    if (ec) co_return Finished{Finished::Kind::ReadFailed};
  }
  boost::system::error_code ignored;
  output.close(ignored);
  if (!korvid::is_valid_utf8(finished.output)) co_return Finished{Finished::Kind::ReadFailed};
  ExitCode code = co_await wait_for_exit(pidfd);
  if (!code) co_return Finished{Finished::Kind::WaitFailed};
  finished.kind = Finished::Kind::Exited;
  finished.code = *code;
  co_return finished;
}

// True when the limit was reached; false when the timer was cancelled.
awaitable<bool> expire_after(std::chrono::milliseconds limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  boost::system::error_code ec;
  co_await timer.async_wait(asio::redirect_error(use_awaitable, ec));
  co_return !ec;
}

void apply_timeout_kill(TimeoutKill treatment, int pidfd) {
  int sig = 0;
  switch (treatment) {
    case TimeoutKill::Leave:
      return;
    case TimeoutKill::Terminate:
      sig = SIGTERM;
      break;
    case TimeoutKill::Kill:
      sig = SIGKILL;
      break;
  }
  // The result is ignored: the child may have ended in the meantime.
  (void)send_signal_to_pidfd(pidfd, sig);
}

RuleError failed(const std::string& command, std::string message) {
  return RuleError::command_failed(command, std::move(message));
}

// Runs one child to its end or its time limit. Runs on a strand of its own,
// so the wait, the output reading and the timer never touch the descriptors
// from two threads at once.
awaitable<Result<std::string>> run_child(EngineSettings settings, std::string command, bool collect_output) {
  auto executor = co_await asio::this_coro::executor;
  Started started = start_child(settings, command, collect_output);
  if (!started.child) co_return failed(command, std::move(started.error));
  Child& child = *started.child;

  if (child.pidfd.get() < 0) {
    reap_in_thread(child.pid);
    co_return failed(command, kWaitFailure);
  }
  stream_descriptor pidfd(executor);
  boost::system::error_code ec;
  pidfd.assign(child.pidfd.get(), ec);
  if (ec) {
    reap_in_thread(child.pid);  // child.pidfd still owns the descriptor and closes it
    co_return failed(command, kWaitFailure);
  }
  child.pidfd.release();

  std::optional<stream_descriptor> output;
  if (collect_output) {
    output.emplace(executor);
    output->assign(child.output.get(), ec);
    if (ec) {
      reap_in_background(std::move(pidfd));
      co_return failed(command, kWaitFailure);
    }
    child.output.release();
  }

  std::variant<Finished, bool> outcome;
  if (output)
    outcome = co_await (collect_then_wait(*output, pidfd) || expire_after(settings.timeout));
  else
    outcome = co_await (wait_only(pidfd) || expire_after(settings.timeout));

  if (outcome.index() == 1) {
    apply_timeout_kill(settings.timeout_kill, pidfd.native_handle());
    reap_in_background(std::move(pidfd));
    co_return failed(command, kTimedOut);
  }
  Finished& finished = std::get<0>(outcome);
  switch (finished.kind) {
    case Finished::Kind::ReadFailed:
    case Finished::Kind::WaitFailed:
      reap_in_background(std::move(pidfd));
      co_return failed(command, kWaitFailure);
    case Finished::Kind::Exited:
      break;
  }
  if (finished.code != 0) co_return failed(command, fmt::format("process exited with code {}", finished.code));
  co_return std::move(finished.output);
}

awaitable<Result<std::string>> run_on_own_strand(EngineSettings settings, std::string command,
                                                 bool collect_output) {
  auto strand = asio::make_strand(co_await asio::this_coro::executor);
  co_return co_await asio::co_spawn(strand, run_child(std::move(settings), std::move(command), collect_output),
                                     use_awaitable);
}

awaitable<Result<void>> run_for_effect(EngineSettings settings, std::string command) {
  Result<std::string> result = co_await run_on_own_strand(std::move(settings), std::move(command), false);
  if (!result) co_return result.error();
  co_return Result<void>();
}

awaitable<Result<std::string>> run_for_output(EngineSettings settings, std::string command) {
  Result<std::string> result = co_await run_on_own_strand(std::move(settings), std::move(command), true);
  if (!result) co_return result.error();
  co_return std::string(trim_unicode_whitespace(*result));
}

// Decodes the code point that starts at text[i] (text is valid UTF-8).
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  auto cont = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
  if (b0 < 0x80) {
    length = 1;
    return b0;
  }
  if (b0 < 0xE0 && i + 1 < text.size()) {
    length = 2;
    return (static_cast<char32_t>(b0 & 0x1F) << 6) | cont(1);
  }
  if (b0 < 0xF0 && i + 2 < text.size()) {
    length = 3;
    return (static_cast<char32_t>(b0 & 0x0F) << 12) | (cont(1) << 6) | cont(2);
  }
  if (i + 3 < text.size()) {
    length = 4;
    return (static_cast<char32_t>(b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
  }
  length = 1;
  return 0xFFFD;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 1;
    if (!is_white_space(decode_at(text, begin, length))) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t length = 1;
    if (!is_white_space(decode_at(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

// Plain functions, not coroutines: the settings are copied at the call, so
// the caller's object need not outlive the operation.
awaitable<Result<void>> run_command(const EngineSettings& settings, std::string command) {
  return run_for_effect(settings, std::move(command));
}

awaitable<Result<std::string>> run_command_for_output(const EngineSettings& settings, std::string command) {
  return run_for_output(settings, std::move(command));
}

}  // namespace rule
