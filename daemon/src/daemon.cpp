#include "daemon.hpp"

#include <fmt/format.h>

#include "kobject_uevent/uevent_socket.hpp"
#include "runtime.hpp"
#include "uevent.hpp"

namespace korvid {

std::optional<std::string> start_daemon(const boost::asio::any_io_executor& executor) {
  auto socket = kobject_uevent::UeventSocket::open(executor, 1);
  if (!socket) return fmt::format("Failed to start KOBJECT_UEVENT monitor: {}", socket.error().text());
  // Event processing joins here: every accepted event becomes its own task.
  auto hand_off = [](kobject_uevent::KobjectUevent) {};
  spawn_task(executor, uevent::run_monitor(std::move(*socket), hand_off), "monitor");
  return std::nullopt;
}

}  // namespace korvid
