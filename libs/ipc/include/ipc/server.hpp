#pragma once
// korvid's IPC server: a listening local stream socket in the abstract
// namespace, an accept loop, and one coroutine per connection that reads a
// request frame, has it decoded and handled, and writes exactly one reply
// frame before it reads the next one (the n-th reply answers the n-th request).
//
// Threads: bind_server takes an executor of the io_context that will run the
// server; the accept loop and every connection run on that executor, on
// whichever of its threads picks them up, and connections are served in
// parallel. The server keeps no shared state of its own; the handler is called
// concurrently from several connections and guards what it shares itself.
//
// Lifetime: there is no stop operation. Destroying the io_context ends the
// accept loop and every connection and closes their sockets. The handler (and
// whatever the decoder refers to) must outlive the io_context's run.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/result.hpp>

#include "ipc/frame.hpp"
#include "ipc/protocol.hpp"

namespace korvid::ipc {

// The daemon's name; tests bind names of their own.
inline constexpr std::string_view kSocketName = "verified:quennetos/korvid";

using Listener = boost::asio::local::stream_protocol::acceptor;

// socket(SOCK_NONBLOCK | SOCK_CLOEXEC), bind to the abstract `name`,
// listen(-1), register with the executor's reactor. Fails with the error of
// the first failing step; the socket is closed then.
boost::system::result<Listener, std::error_code> bind_server(
    const boost::asio::any_io_executor& executor, std::string_view name = kSocketName);

// What the kernel recorded for the peer (SO_PEERCRED); pid 0 when unknown.
struct PeerCredentials {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t pid = 0;
};

// Called on the accepting thread once per accepted connection, before the
// connection is served; the daemon logs the credentials here.
using ConnectionCallback = std::function<void(const PeerCredentials&)>;

template <class Request>
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual boost::asio::awaitable<MethodResult> handle(Request request) = 0;
};

// nullopt for a body that is not a valid request (answered BadRequest).
template <class Request>
using RequestDecoder = std::function<std::optional<Request>(std::span<const std::uint8_t> body)>;

// One request body in, the method's outcome out; the request type erased.
using Responder =
    std::function<boost::asio::awaitable<MethodResult>(std::span<const std::uint8_t> body)>;

// Accepts for ever; spawn it with co_spawn and do not wait for it.
boost::asio::awaitable<void> run_accept_loop(Listener listener, Responder respond,
                                             ConnectionCallback on_connection);

// Serves one connected stream until the peer closes it or an I/O error.
boost::asio::awaitable<void> serve_connection(Stream stream, Responder respond);

namespace detail {
template <class Request>
boost::asio::awaitable<MethodResult> respond(const RequestDecoder<Request>& decode,
                                             RequestHandler<Request>& handler,
                                             std::span<const std::uint8_t> body) {
  std::optional<Request> request = decode(body);
  if (!request) co_return RpcError::BadRequest;
  co_return co_await handler.handle(std::move(*request));
}
}  // namespace detail

template <class Request>
boost::asio::awaitable<void> run_accept_loop(Listener listener, RequestDecoder<Request> decode,
                                             RequestHandler<Request>& handler,
                                             ConnectionCallback on_connection) {
  // The responder owns the decoder; each connection holds a copy of it for
  // as long as it runs, so the references detail::respond keeps stay valid.
  Responder respond = [decode = std::move(decode), &handler](std::span<const std::uint8_t> body) {
    return detail::respond<Request>(decode, handler, body);
  };
  return run_accept_loop(std::move(listener), std::move(respond), std::move(on_connection));
}

}  // namespace korvid::ipc
