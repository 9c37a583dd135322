#include "commands.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "client.hpp"
#include "devpaths.hpp"
#include "ipc/protocol.hpp"
#include "ipc_request.hpp"
#include "korvid/env.hpp"
#include "korvid/error_text.hpp"
#include "korvid/utf8.hpp"
#include "rule/loading.hpp"
#include "rule/notation.hpp"

namespace korvidctl {
namespace {

using korvid::ipc::Request;
using nlohmann::json;

constexpr auto kPollInterval = std::chrono::milliseconds(100);
// A DEVPATH pattern of this size, even with every byte escaped in JSON, keeps
// the ListDevices request within one frame; the reply lists at most the
// devices named in it, so it fits as well.
constexpr std::size_t kMaxPatternBytes = 10000;

void say(std::ostream& err, std::string_view message) { err << "korvidctl: " << message << '\n'; }

// A call that gave no usable value: the exit status for it (the message
// is already printed).
struct CallFailed {
  int status;
};

struct OsError {
  int errnum;
};

using CallResult = boost::system::result<json, CallFailed>;

class Session {
 public:
  explicit Session(std::ostream& err) : err_(err) {}

  // Connects, retrying until `retry_until` while nobody listens yet.
  // Prints why on failure and returns the exit status for it.
  std::optional<int> connect(Deadline retry_until) {
    auto opened = Connection::open(socket_name(), retry_until);
    if (!opened) {
      say(err_, fmt::format("cannot connect to korvid (is the daemon running?): {}",
                            korvid::os_error_text(opened.error().errnum)));
      return kNoDaemon;
    }
    connection_.emplace(std::move(*opened));
    return std::nullopt;
  }

  // Sends `request` and returns the reply's value. Error replies, broken
  // connections, replies that make no sense and the deadline (with
  // `timeout_message`) are reported here.
  CallResult call(const Request& request, Deadline deadline,
                                        std::string_view timeout_message) {
    auto reply = connection_->call(korvid::ipc::encode_request(request), deadline);
    if (!reply) {
      const ClientError& e = reply.error();
      switch (e.kind) {
        case ClientError::Kind::TimedOut: say(err_, timeout_message); break;
        case ClientError::Kind::Closed: say(err_, "korvid closed the connection without answering"); break;
        case ClientError::Kind::TooLarge:
          say(err_, fmt::format("the request does not fit in one message (at most {} bytes)",
                                korvid::ipc::kMaxFrameBody));
          break;
        default:
          say(err_, fmt::format("lost the connection to korvid: {}", korvid::os_error_text(e.errnum)));
      }
      return CallFailed{kFailure};
    }
    json value = json::parse(*reply, nullptr, false);
    if (value.is_discarded()) return CallFailed{unexpected(*reply)};
    if (value.is_object() && value.size() == 1 && value.contains("error") && value["error"].is_string()) {
      const std::string name = value["error"].get<std::string>();
      if (korvid::ipc::rpc_error_from_name(name) == korvid::ipc::RpcError::BadReply &&
          std::holds_alternative<korvid::ipc::ListDevices>(request)) {
        say(err_, fmt::format("the daemon answered {}: the reply was too large to send; narrow the condition", name));
      } else {
        say(err_, fmt::format("the daemon answered {}", korvid::utf8_lossy(name)));
      }
      return CallFailed{kFailure};
    }
    return CallResult(boost::system::in_place_value, std::move(value));
  }

  int unexpected(std::string_view body) {
    constexpr std::size_t kShown = 200;
    std::string shown = korvid::utf8_lossy(body.substr(0, kShown));
    if (body.size() > kShown) shown += "...";
    say(err_, fmt::format("unexpected reply from korvid: {}", shown));
    return kFailure;
  }

 private:
  std::ostream& err_;
  std::optional<Connection> connection_;
};

std::string seconds_text(double seconds) { return fmt::format("{}", seconds); }

// A null reply; anything else is reported as unexpected.
int expect_null(Session& session, const CallResult& reply) {
  if (!reply) return reply.error().status;
  if (!reply->is_null()) return session.unexpected(reply->dump(-1, ' ', false, json::error_handler_t::replace));
  return kSuccess;
}

std::optional<std::vector<std::string>> string_array(const json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> items;
  items.reserve(value.size());
  for (const auto& item : value) {
    if (!item.is_string()) return std::nullopt;
    items.push_back(item.get<std::string>());
  }
  return items;
}

int run_trigger(const TriggerCommand& command, std::ostream& err) {
  const auto deadline = Clock::now() + to_duration(command.timeout_seconds);
  const std::string after = fmt::format("gave up after {} seconds: ", seconds_text(command.timeout_seconds));
  Session session(err);
  // At boot `trigger --settle` runs right after the daemon was started and
  // may come before it has bound its socket.
  if (auto status = session.connect(command.settle ? Deadline(deadline) : std::nullopt)) return *status;
  const int triggered = expect_null(
      session, session.call(korvid::ipc::Trigger{command.scope, command.action}, deadline,
                            after + "korvid has not finished the trigger walk"));
  if (triggered != kSuccess || !command.settle) return triggered;

  // The daemon registers a device only at the end of its "add" processing,
  // and settling does not wait for that: wait for the registrations first.
  if (command.action == "add") {
    const auto expected = triggered_devpaths(korvid::sysfs_root(), command.scope);
    std::vector<std::string> missing = expected;
    while (!missing.empty()) {
      const std::string timeout_message =
          after + fmt::format("{} of {} triggered devices are still not registered", missing.size(), expected.size());
      if (Clock::now() >= deadline) {
        say(err, timeout_message);
        return kFailure;
      }
      std::set<std::string> registered;
      for (auto& pattern : devpath_patterns(missing, kMaxPatternBytes)) {
        rule::When condition{rule::Match{rule::TextValue::literal("DEVPATH"),
                                         rule::TextValue::literal(std::move(pattern)), nullptr}};
        auto reply = session.call(korvid::ipc::ListDevices{std::move(condition)}, deadline, timeout_message);
        if (!reply) return reply.error().status;
        const auto devices = string_array(*reply);
        if (!devices) return session.unexpected(reply->dump(-1, ' ', false, json::error_handler_t::replace));
        registered.insert(devices->begin(), devices->end());
      }
      std::erase_if(missing, [&](const std::string& devpath) { return registered.contains(devpath); });
      if (missing.empty()) break;
      std::this_thread::sleep_for(
          std::min<Clock::duration>(kPollInterval, std::max<Clock::duration>(deadline - Clock::now(), {})));
    }
  }
  return expect_null(session, session.call(korvid::ipc::WaitForIdle{}, deadline, after + "korvid is still busy"));
}

int run_settle(const SettleCommand& command, std::ostream& err) {
  const auto deadline = Clock::now() + to_duration(command.timeout_seconds);
  Session session(err);
  if (auto status = session.connect(std::nullopt)) return *status;
  return expect_null(session, session.call(korvid::ipc::WaitForIdle{}, deadline,
                                           fmt::format("gave up after {} seconds: korvid is still busy",
                                                       seconds_text(command.timeout_seconds))));
}

int run_list(const ListCommand& command, std::ostream& out, std::ostream& err) {
  rule::When condition{rule::True{}};
  if (command.condition) {
    auto parsed = rule::parse_condition(*command.condition);
    if (!parsed) {
      say(err, fmt::format("invalid condition: {}", parsed.error().text()));
      return kUsage;
    }
    condition = std::move(*parsed);
  } else if (command.json_condition) {
    auto decoded = korvid::ipc::decode_condition(*command.json_condition);
    if (!decoded) {
      say(err, "invalid --json-condition: not a condition in the JSON form");
      return kUsage;
    }
    condition = std::move(*decoded);
  }
  Session session(err);
  if (auto status = session.connect(std::nullopt)) return *status;
  auto reply = session.call(korvid::ipc::ListDevices{std::move(condition)}, std::nullopt, "");
  if (!reply) return reply.error().status;
  const auto devices = string_array(*reply);
  if (!devices) return session.unexpected(reply->dump(-1, ' ', false, json::error_handler_t::replace));
  if (command.json) {
    out << reply->dump() << '\n';
  } else {
    for (const auto& device : *devices) out << device << '\n';
  }
  out.flush();
  return kSuccess;
}

int run_reload(std::ostream& err) {
  Session session(err);
  if (auto status = session.connect(std::nullopt)) return *status;
  return expect_null(session, session.call(korvid::ipc::ReloadRules{}, std::nullopt, ""));
}

// Non-hidden entries of `dir` that are (or lead to) regular files, by name.
boost::system::result<std::vector<std::string>, OsError> rule_files_in(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return OsError{errno};
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    return OsError{error};
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name.starts_with('.')) continue;
    struct stat st{};
    if (::fstatat(::dirfd(stream), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) names.emplace_back(name);
  }
  ::closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

bool verify_file(const std::string& file, bool verbose, std::ostream& out, std::ostream& err) {
  auto read = rule::read_rule_file(file);
  if (read) {
    if (verbose) out << file << ": ok\n";
    return true;
  }
  const rule::RuleError& error = read.error();
  if (error.kind() == rule::RuleError::Kind::Parse) {
    err << file << ':' << error.start().line << ':' << error.start().column << ": " << error.detail() << '\n';
  } else {
    err << file << ": " << error.text() << '\n';
  }
  return false;
}

}  // namespace

int verify_rule_files(const VerifyCommand& command, std::ostream& out, std::ostream& err) {
  bool all_good = true;
  for (const std::string& path : command.paths) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      auto files = rule_files_in(path);
      if (!files) {
        err << path << ": " << korvid::os_error_text(files.error().errnum) << '\n';
        all_good = false;
        continue;
      }
      for (const auto& name : *files) {
        all_good &= verify_file((std::filesystem::path(path) / name).native(), command.verbose, out, err);
      }
    } else {
      // Also what cannot be looked at: reading it says why.
      all_good &= verify_file(path, command.verbose, out, err);
    }
  }
  out.flush();
  return all_good ? kSuccess : kFailure;
}

int run_command(const Command& command, std::ostream& out, std::ostream& err) {
  if (const auto* c = std::get_if<TriggerCommand>(&command)) return run_trigger(*c, err);
  if (const auto* c = std::get_if<SettleCommand>(&command)) return run_settle(*c, err);
  if (const auto* c = std::get_if<ListCommand>(&command)) return run_list(*c, out, err);
  if (std::holds_alternative<ReloadCommand>(command)) return run_reload(err);
  return verify_rule_files(std::get<VerifyCommand>(command), out, err);
}

}  // namespace korvidctl
