#include "korvid/log.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <fmt/format.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>

#include "korvid/env.hpp"
#include "korvid/error_text.hpp"

namespace korvid::log {
namespace {

constexpr std::array<std::string_view, 7> kTargetNames = {
    "korvid", "korvid::uevent", "korvid::device", "korvid::util",
    "korvid::trigger", "korvid::ipc", "rule::engine"};

struct Loggers {
  std::shared_ptr<spdlog::sinks::dist_sink_mt> dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
  std::array<std::shared_ptr<spdlog::logger>, kTargetNames.size()> loggers;
  std::atomic<bool> installed{false};

  Loggers() {
    for (std::size_t i = 0; i < kTargetNames.size(); ++i) {
      loggers[i] = std::make_shared<spdlog::logger>(std::string(kTargetNames[i]), dist);
      loggers[i]->set_level(spdlog::level::off);
      loggers[i]->flush_on(spdlog::level::trace);
    }
  }

  void apply(const std::vector<Directive>& directives) {
    for (std::size_t i = 0; i < kTargetNames.size(); ++i)
      loggers[i]->set_level(level_for(directives, kTargetNames[i]));
  }
};

Loggers& loggers() {
  static Loggers* instance = new Loggers();  // never destroyed: workers may log at exit
  return *instance;
}

std::optional<spdlog::level::level_enum> parse_level(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, spdlog::level::level_enum>, 6> kLevels = {{
      {"off", spdlog::level::off},
      {"error", spdlog::level::err},
      {"warn", spdlog::level::warn},
      {"info", spdlog::level::info},
      {"debug", spdlog::level::debug},
      {"trace", spdlog::level::trace},
  }};
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '5') return kLevels[text[0] - '0'].second;
  for (const auto& [name, level] : kLevels) {
    if (text.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(text[i])) != name[i]) same = false;
    if (same) return level;
  }
  return std::nullopt;
}

constexpr std::string_view kLevelReason =
    "error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", "
    "\"debug\", \"trace\", or a number 0-5";

bool valid_target(std::string_view target) {
  if (target.empty()) return false;
  for (char c : target)
    if (c == '[' || c == ']' || c == '{' || c == '}' || c == '=' || c == ' ' || c == '\t')
      return false;
  return true;
}

// Time field: UTC with microseconds; "<unknown time>" if it cannot be formed.
class UtcTimeFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    using namespace std::chrono;
    const auto since_epoch = msg.time.time_since_epoch();
    const auto secs = duration_cast<seconds>(since_epoch);
    const auto micros = duration_cast<microseconds>(since_epoch - secs).count();
    const std::time_t t = secs.count();
    std::tm tm{};
    if (since_epoch.count() < 0 || gmtime_r(&t, &tm) == nullptr) {
      fmt::format_to(std::back_inserter(dest), "<unknown time>");
      return;
    }
    fmt::format_to(std::back_inserter(dest), "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z",
                   tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                   tm.tm_sec, micros);
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<UtcTimeFlag>();
  }
};

class LevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    std::string_view text;
    switch (msg.level) {
      case spdlog::level::trace: text = "TRACE"; break;
      case spdlog::level::debug: text = "DEBUG"; break;
      case spdlog::level::info: text = " INFO"; break;
      case spdlog::level::warn: text = " WARN"; break;
      default: text = "ERROR"; break;
    }
    dest.append(text.data(), text.data() + text.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<LevelFlag>();
  }
};

std::string_view level_color(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return "\x1b[35m";
    case spdlog::level::debug: return "\x1b[34m";
    case spdlog::level::info: return "\x1b[32m";
    case spdlog::level::warn: return "\x1b[33m";
    default: return "\x1b[31m";
  }
}

// Writes whole lines to standard output without ever blocking the daemon for
// good: pipes and terminals get a non-blocking description of their own, and
// a line that cannot be written within a second is dropped with a notice on
// standard error.
class StdoutSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit StdoutSink(bool color) : color_(color) {
    struct stat st{};
    if (fstat(STDOUT_FILENO, &st) == 0) {
      if (S_ISSOCK(st.st_mode)) {
        socket_ = true;
      } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // Opening /proc/self/fd/1 gives a new open file description, so
        // O_NONBLOCK does not leak to whoever shares our stdout.
        int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) fd_ = fd;
      }
    }
  }
  ~StdoutSink() override {
    if (fd_ != STDOUT_FILENO) ::close(fd_);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    std::string out;
    if (color_ && msg.color_range_end > msg.color_range_start) {
      const std::string_view whole(line.data(), line.size());
      out.reserve(line.size() + 16);
      out.append(whole.substr(0, msg.color_range_start));
      out.append(level_color(msg.level));
      out.append(whole.substr(msg.color_range_start, msg.color_range_end - msg.color_range_start));
      out.append("\x1b[0m");
      out.append(whole.substr(msg.color_range_end));
    } else {
      out.assign(line.data(), line.size());
    }
    write_line(out);
  }
  void flush_() override {}

 private:
  void write_line(std::string_view data) {
    using std::chrono::steady_clock;
    // Once a line was dropped, later lines are not waited for until stdout
    // takes one again: a reader that stopped must not cost a second per line.
    // A line already begun gets the full second, so lines never interleave.
    auto deadline = steady_clock::now() + (congested_ ? std::chrono::seconds(0) : std::chrono::seconds(1));
    bool started = false;
    while (!data.empty()) {
      const ssize_t n = socket_ ? ::send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                                : ::write(fd_, data.data(), data.size());
      if (n > 0) {
        data.remove_prefix(static_cast<std::size_t>(n));
        if (!started) deadline = std::max(deadline, steady_clock::now() + std::chrono::seconds(1));
        started = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
        if (left.count() > 0) {
          pollfd pfd{fd_, POLLOUT, 0};
          ::poll(&pfd, 1, static_cast<int>(left.count()));
          continue;
        }
        drop("standard output is full");
        return;
      }
      drop(n < 0 ? os_error_text(errno) : "standard output accepts no bytes");
      return;
    }
    if (congested_) notice(fmt::format("korvid: standard output takes log lines again; {} were dropped\n", dropped_));
    congested_ = false;
    dropped_ = 0;
  }

  // The first dropped line is announced on stderr; the rest are counted.
  void drop(const std::string& why) {
    if (!congested_) notice(fmt::format("korvid: dropping log lines: {}\n", why));
    congested_ = true;
    ++dropped_;
  }

  static void notice(const std::string& text) {
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  }

  int fd_ = STDOUT_FILENO;
  bool socket_ = false;
  bool congested_ = false;
  std::uint64_t dropped_ = 0;
  bool color_;
};

}  // namespace

std::string_view target_name(Target target) { return kTargetNames[static_cast<std::size_t>(target)]; }

spdlog::logger& get(Target target) { return *loggers().loggers[static_cast<std::size_t>(target)]; }

ParsedFilter parse_filter(std::string_view text) {
  ParsedFilter result;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view piece = text.substr(start, comma - start);
    start = comma + 1;
    if (piece.empty()) continue;

    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) {
      if (auto level = parse_level(piece)) {
        result.directives.push_back({std::nullopt, *level});
      } else {
        result.complaints.push_back(fmt::format("ignoring `{}`: {}", piece, kLevelReason));
      }
      continue;
    }
    const std::string_view target = piece.substr(0, eq);
    const std::string_view level_text = piece.substr(eq + 1);
    if (!valid_target(target) || level_text.find('=') != std::string_view::npos) {
      result.complaints.push_back(
          fmt::format("ignoring `{}`: invalid filter directive: expected \"target=level\" or a level", piece));
      continue;
    }
    if (auto level = parse_level(level_text)) {
      result.directives.push_back({std::string(target), *level});
    } else {
      result.complaints.push_back(fmt::format("ignoring `{}`: {}", piece, kLevelReason));
    }
  }
  if (result.directives.empty()) result.directives.push_back({std::nullopt, spdlog::level::err});
  return result;
}

spdlog::level::level_enum level_for(const std::vector<Directive>& directives, std::string_view target) {
  // Rank: a level alone is the shortest prefix (0); on a tie the later one wins.
  const Directive* best = nullptr;
  std::size_t best_rank = 0;
  for (const auto& d : directives) {
    if (d.target && !target.starts_with(*d.target)) continue;
    const std::size_t rank = d.target ? d.target->size() + 1 : 0;
    if (best == nullptr || rank >= best_rank) {
      best = &d;
      best_rank = rank;
    }
  }
  return best ? best->level : spdlog::level::off;
}

std::unique_ptr<spdlog::formatter> make_formatter() {
  auto formatter = std::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<UtcTimeFlag>('*');
  formatter->add_flag<LevelFlag>('L');
  formatter->set_pattern("%* %^%L%$ %n: %v");
  return formatter;
}

std::optional<InstallError> install() {
  auto& l = loggers();
  if (l.installed.exchange(true)) return InstallError::already_installed;
  const ParsedFilter filter = parse_filter(env_text("KORVID_LOG").value_or(""));
  for (const auto& complaint : filter.complaints) std::fprintf(stderr, "%s\n", complaint.c_str());
  const auto no_color = std::getenv("NO_COLOR");
  auto sink = std::make_shared<StdoutSink>(no_color == nullptr || *no_color == '\0');
  sink->set_formatter(make_formatter());
  l.dist->set_sinks({sink});
  l.apply(filter.directives);
  return std::nullopt;
}

void install_for_tests(std::shared_ptr<spdlog::sinks::sink> sink, std::string_view filter, bool color) {
  auto& l = loggers();
  (void)color;
  sink->set_formatter(make_formatter());
  l.dist->set_sinks({std::move(sink)});
  l.apply(parse_filter(filter).directives);
}

void flush() { loggers().dist->flush(); }

}  // namespace korvid::log
