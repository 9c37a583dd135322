#include "daemon_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <cstring>
#include <random>
#include <stdexcept>

extern char** environ;

namespace korvid::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvid-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

DaemonProcess::DaemonProcess(std::map<std::string, std::optional<std::string>> env, std::string binary) {
  spawn(std::move(env), std::move(binary), true);
}

DaemonProcess::DaemonProcess(std::map<std::string, std::optional<std::string>> env, StalledStdout) {
  spawn(std::move(env), KORVID_DAEMON_PATH, false);
}

void DaemonProcess::spawn(std::map<std::string, std::optional<std::string>> env, std::string binary,
                          bool drain_stdout) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  merged["NO_COLOR"] = "1";
  for (const auto& [key, value] : env) {
    if (value) merged[key] = *value;
    else merged.erase(key);
  }
  std::vector<std::string> entries;
  for (const auto& [key, value] : merged) entries.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char* argv[] = {binary.data(), nullptr};
  const int rc = ::posix_spawn(&pid_, binary.c_str(), &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(rc));
  }
  if (drain_stdout) {
    out_reader_ = std::thread([this, fd = out[0]] { drain(fd, true); });
  } else {
    stalled_stdout_ = out[0];
  }
  err_reader_ = std::thread([this, fd = err[0]] { drain(fd, false); });
}

DaemonProcess::~DaemonProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  if (stalled_stdout_ >= 0) ::close(stalled_stdout_);
}

void DaemonProcess::drain(int fd, bool is_stdout) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    if (!is_stdout) {
      stderr_.append(buf, static_cast<std::size_t>(n));
    } else {
      partial_.append(buf, static_cast<std::size_t>(n));
      std::size_t start = 0, nl;
      while ((nl = partial_.find('\n', start)) != std::string::npos) {
        lines_.push_back(partial_.substr(start, nl - start));
        start = nl + 1;
      }
      partial_.erase(0, start);
    }
    changed_.notify_all();
  }
  ::close(fd);
}

bool DaemonProcess::wait_until(const std::function<bool(const std::vector<std::string>&)>& predicate,
                               std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return predicate(lines_); });
}

std::optional<std::string> DaemonProcess::wait_for_line(const std::string& text,
                                                        std::chrono::milliseconds timeout) {
  std::optional<std::string> found;
  wait_until(
      [&](const std::vector<std::string>& lines) {
        for (const auto& line : lines)
          if (line.find(text) != std::string::npos) {
            found = line;
            return true;
          }
        return false;
      },
      timeout);
  return found;
}

std::vector<std::string> DaemonProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string DaemonProcess::stderr_text() const {
  std::lock_guard lock(mutex_);
  return stderr_;
}

std::optional<int> DaemonProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = status;
      if (out_reader_.joinable()) out_reader_.join();
      if (err_reader_.joinable()) err_reader_.join();
      return status_;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool DaemonProcess::catches_sigint() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("SigCgt:")) continue;
    return (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGINT - 1))) != 0;
  }
  return false;
}

std::optional<int> DaemonProcess::interrupt(std::chrono::milliseconds timeout) {
  // Before its listener is installed SIGINT kills the daemon outright; wait
  // until the daemon catches it, which is when it has finished starting.
  if (!status_) {
    eventually([this] { return catches_sigint(); }, timeout);
    ::kill(pid_, SIGINT);
  }
  return wait_exit(timeout);
}

void announce(const std::filesystem::path& device_dir, const std::string& action) {
  const auto path = device_dir / "uevent";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  const ssize_t n = ::write(fd, action.data(), action.size());
  ::close(fd);
  if (n != static_cast<ssize_t>(action.size())) throw std::runtime_error("cannot write " + path.string());
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace korvid::testing
