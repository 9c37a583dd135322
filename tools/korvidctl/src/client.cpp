#include "client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "ipc/protocol.hpp"
#include "ipc/server.hpp"
#include "korvid/env.hpp"
#include "korvid/error_text.hpp"

namespace korvidctl {
namespace {

// Success is the Io kind with errnum 0, so the helpers can return one value.
constexpr ClientError kOk{ClientError::Kind::Io, 0};
bool ok(const ClientError& e) { return e.kind == ClientError::Kind::Io && e.errnum == 0; }

// A daemon that is starting has not bound its name yet (refused), or has a
// full backlog for a moment (EAGAIN on a non-blocking connect).
bool worth_retrying(int errnum) { return errnum == ECONNREFUSED || errnum == EAGAIN || errnum == ENOENT; }

int connect_once(std::string_view name, int& errnum) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    errnum = errno;
    return -1;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof address.sun_path) {
    ::close(fd);
    errnum = ENAMETOOLONG;
    return -1;
  }
  // Abstract name: a leading NUL and an explicit length, no terminator.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    errnum = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void throw_exception_from_error(const ClientError& error, const boost::source_location&) {
  throw std::runtime_error("korvidctl client error " + std::to_string(static_cast<int>(error.kind)) + " " +
                           std::to_string(error.errnum));
}

std::string socket_name() {
  if (auto name = korvid::env_text("KORVIDCTL_SOCKET")) return *name;
  return std::string(korvid::ipc::kSocketName);
}

ClientResult<Connection> Connection::open(std::string_view name, Deadline retry_until) {
  for (;;) {
    int errnum = 0;
    const int fd = connect_once(name, errnum);
    if (fd >= 0) return Connection(fd);
    const auto now = Clock::now();
    if (!retry_until || !worth_retrying(errnum) || now >= *retry_until)
      return ClientError{ClientError::Kind::Connect, errnum};
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(100), *retry_until - now));
  }
}

Connection::Connection(Connection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

ClientError Connection::wait_for(short events, Deadline deadline) {
  for (;;) {
    int timeout_ms = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return {ClientError::Kind::TimedOut, 0};
      timeout_ms = static_cast<int>(std::min<std::int64_t>(left.count(), 1'000'000));
    }
    pollfd entry{fd_, events, 0};
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready > 0) return kOk;  // errors and hang-ups show in the next call
    if (ready < 0 && errno != EINTR) return {ClientError::Kind::Io, errno};
  }
}

ClientError Connection::send_all(std::string_view bytes, Deadline deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (auto waited = wait_for(POLLOUT, deadline); !ok(waited)) return waited;
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return {ClientError::Kind::Closed, errno};
    return {ClientError::Kind::Io, n < 0 ? errno : EIO};
  }
  return kOk;
}

ClientError Connection::receive_exactly(char* data, std::size_t size, Deadline deadline) {
  while (size > 0) {
    const ssize_t n = ::recv(fd_, data, size, 0);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return {ClientError::Kind::Closed, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (auto waited = wait_for(POLLIN, deadline); !ok(waited)) return waited;
      continue;
    }
    if (errno == ECONNRESET) return {ClientError::Kind::Closed, errno};
    return {ClientError::Kind::Io, errno};
  }
  return kOk;
}

ClientResult<std::string> Connection::call(std::string_view body, Deadline deadline) {
  const auto header = korvid::ipc::frame_header(body.size());
  if (!header) return ClientError{ClientError::Kind::TooLarge, 0};
  std::string frame(reinterpret_cast<const char*>(header->data()), header->size());
  frame.append(body);
  if (auto sent = send_all(frame, deadline); !ok(sent)) return sent;
  unsigned char length[2];
  if (auto got = receive_exactly(reinterpret_cast<char*>(length), 2, deadline); !ok(got)) return got;
  std::string reply(korvid::ipc::frame_length(length[0], length[1]), '\0');
  if (auto got = receive_exactly(reply.data(), reply.size(), deadline); !ok(got)) return got;
  return reply;
}

}  // namespace korvidctl
