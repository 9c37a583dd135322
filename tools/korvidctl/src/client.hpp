#pragma once
// A blocking client for korvid's IPC socket: one connection, one request at
// a time, each reply read completely before the next request is sent. Every
// wait can be bounded by a deadline. One thread per Connection.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <boost/assert/source_location.hpp>
#include <boost/system/result.hpp>

namespace korvidctl {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // nullopt: wait without limit

struct ClientError {
  enum class Kind {
    Connect,   // connecting failed (errnum); after retrying, if asked to
    TimedOut,  // the deadline passed first
    Closed,    // the daemon closed the connection before a whole reply
    Io,        // send or receive failed (errnum)
    TooLarge,  // the request body does not fit in one frame
  };
  Kind kind = Kind::Io;
  int errnum = 0;
};

[[noreturn]] void throw_exception_from_error(const ClientError& error, const boost::source_location& location);

template <typename T>
using ClientResult = boost::system::result<T, ClientError>;

// The daemon's socket name. KORVIDCTL_SOCKET replaces it; that variable
// exists for tests, which run fake servers on names of their own.
std::string socket_name();

class Connection {
 public:
  // Connects to the abstract socket `name`. While nobody listens there yet,
  // retries every 100 ms until `retry_until`; without it, fails at once.
  static ClientResult<Connection> open(std::string_view name, Deadline retry_until);

  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  ~Connection();

  // Sends one request body and returns the reply body.
  ClientResult<std::string> call(std::string_view body, Deadline deadline);

 private:
  explicit Connection(int fd) : fd_(fd) {}
  ClientError send_all(std::string_view bytes, Deadline deadline);
  ClientError receive_exactly(char* data, std::size_t size, Deadline deadline);
  ClientError wait_for(short events, Deadline deadline);

  int fd_ = -1;
};

}  // namespace korvidctl
