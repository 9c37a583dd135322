#pragma once
// The daemon's side of IPC: the four methods behind the generic server, and
// the start-up step that binds the socket and starts accepting.

#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "ipc/protocol.hpp"
#include "ipc_request.hpp"

namespace korvid::ipc {

// The action words Trigger accepts, compared byte for byte.
inline constexpr std::string_view VALID_ACTIONS[] = {"add", "remove", "change"};

// Runs one request to its result. Methods keep no state of their own.
boost::asio::awaitable<MethodResult> handle_request(Request request);

// Binds the IPC socket and spawns the accept loop. Returns the ERROR line to
// log when binding fails.
std::optional<std::string> start_ipc_server(const boost::asio::any_io_executor& executor);

}  // namespace korvid::ipc
