#include "ipc/server.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "korvid/task_failure.hpp"

namespace korvid::ipc {

namespace asio = boost::asio;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

namespace {

std::error_code os_error(int errnum) { return {errnum, std::system_category()}; }

void report_escaped_exception(std::exception_ptr failure) { report_task_failure("IPC connection", failure); }

bool is_resource_shortage(int errnum) {
  return errnum == EMFILE || errnum == ENFILE || errnum == ENOBUFS || errnum == ENOMEM;
}

void start_connection(const asio::any_io_executor& executor, int fd, const Responder& respond,
                      const ConnectionCallback& on_connection) {
  Stream stream(executor);
  boost::system::error_code ec;
  stream.assign(asio::local::stream_protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    return;
  }
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return;  // the stream closes the descriptor
  }
  if (on_connection) {
    on_connection(PeerCredentials{credentials.uid, credentials.gid,
                                  static_cast<std::uint32_t>(credentials.pid)});
  }
  asio::co_spawn(executor, serve_connection(std::move(stream), respond), report_escaped_exception);
}

}  // namespace

boost::system::result<Listener, std::error_code> bind_server(const asio::any_io_executor& executor,
                                                             std::string_view name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract: a leading 0 byte, then the name; the length counts exactly
  // those bytes, with no terminator.
  if (name.size() + 1 > sizeof address.sun_path) return os_error(ENAMETOOLONG);
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return os_error(errno);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), address_length) != 0 ||
      ::listen(fd, -1) != 0) {
    const int errnum = errno;
    ::close(fd);
    return os_error(errnum);
  }

  Listener listener(executor);
  boost::system::error_code ec;
  listener.assign(asio::local::stream_protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    return std::error_code(ec);
  }
  return listener;
}

asio::awaitable<void> run_accept_loop(Listener listener, Responder respond,
                                      ConnectionCallback on_connection) {
  const asio::any_io_executor executor = listener.get_executor();
  asio::steady_timer pause(executor);
  for (;;) {
    auto [wait_ec] = co_await listener.async_wait(Listener::wait_read, use_tuple);
    if (wait_ec == asio::error::operation_aborted) co_return;  // the listener was closed
    if (wait_ec) {
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(use_tuple);
      continue;
    }
    // The reactor reports readiness once per change (edge-triggered), so
    // accept until the queue is empty before waiting again.
    for (;;) {
      const int fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        const int errnum = errno;
        if (errnum == EAGAIN || errnum == EWOULDBLOCK) break;
        if (is_resource_shortage(errnum)) {
          // Out of descriptors or memory: retrying at once would only spin
          // until some connection ends; give them a moment.
          pause.expires_after(std::chrono::milliseconds(100));
          co_await pause.async_wait(use_tuple);
        }
        continue;
      }
      try {
        start_connection(executor, fd, respond, on_connection);
      } catch (...) {
        // Only the callback or an allocation can throw here; the accept loop
        // must outlive any one connection.
        report_escaped_exception(std::current_exception());
      }
    }
  }
}

asio::awaitable<void> serve_connection(Stream stream, Responder respond) {
  std::vector<std::uint8_t> buffer;
  buffer.reserve(128);
  for (;;) {
    if (co_await read_frame(stream, buffer) != FrameRead::Body) co_return;
    const MethodResult result = co_await respond(std::span<const std::uint8_t>(buffer));
    std::string reply = encode_result(result);
    // The 2-byte length cannot announce a longer body; never send a length
    // that differs from what follows.
    if (reply.size() > kMaxFrameBody) reply = kBadReplyFallback;
    if (co_await write_frame(stream, reply)) co_return;
  }
}

}  // namespace korvid::ipc
