#pragma once
// Test support: runs the built korvid binary with a chosen environment,
// drains its standard output continuously on a thread of its own (a full pipe
// would stall the daemon's logging) and lets tests wait for log lines.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvid::testing {

// A fresh directory below /tmp, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

class DaemonProcess {
 public:
  // Extra variables are added to a copy of this process's environment;
  // NO_COLOR=1 is always set so lines are easy to match. A value of
  // std::nullopt removes the variable.
  explicit DaemonProcess(std::map<std::string, std::optional<std::string>> env,
                         std::string binary = KORVID_DAEMON_PATH);

  // Keeps the daemon's stdout pipe open but never reads it, as a stuck
  // log reader would; lines() then stays empty.
  struct StalledStdout {};
  DaemonProcess(std::map<std::string, std::optional<std::string>> env, StalledStdout);
  ~DaemonProcess();

  pid_t pid() const { return pid_; }

  // Waits until a stdout line contains `text`; returns that line.
  std::optional<std::string> wait_for_line(const std::string& text,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until `predicate` holds for the lines so far.
  bool wait_until(const std::function<bool(const std::vector<std::string>&)>& predicate,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<std::string> lines() const;
  std::string stderr_text() const;

  // Waits for the process to end on its own; returns the wait status.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Whether the daemon has installed its SIGINT listener (start-up done).
  bool catches_sigint() const;
  // Sends SIGINT once the daemon catches it, and waits; returns the status.
  std::optional<int> interrupt(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  void drain(int fd, bool is_stdout);
  void spawn(std::map<std::string, std::optional<std::string>> env, std::string binary, bool drain_stdout);

  pid_t pid_ = -1;
  std::optional<int> status_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
  std::string stderr_;
  std::thread out_reader_, err_reader_;
  int stalled_stdout_ = -1;
};

// Writes `action` into a sysfs uevent file, e.g. "/sys/devices/virtual/mem/null".
void announce(const std::filesystem::path& device_dir, const std::string& action);

// Polls until condition holds or the timeout passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace korvid::testing
