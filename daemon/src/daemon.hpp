#pragma once
// Start-up of korvid's subsystems, in their fixed order, once the runtime
// and logging exist.

#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>

namespace korvid {

// Binds the IPC socket and starts serving, opens the uevent socket and starts
// the monitor, then loads the rules on the calling thread. Returns the ERROR
// line to log when a socket cannot be set up (the process must then exit 1).
std::optional<std::string> start_daemon(const boost::asio::any_io_executor& executor);

}  // namespace korvid
