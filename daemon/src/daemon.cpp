#include "daemon.hpp"

#include <fmt/format.h>

#include "device.hpp"
#include "ipc.hpp"
#include "kobject_uevent/uevent_socket.hpp"
#include "rules.hpp"
#include "runtime.hpp"
#include "uevent.hpp"

namespace korvid {

std::optional<std::string> start_daemon(const boost::asio::any_io_executor& executor) {
  if (auto failure = ipc::start_ipc_server(executor)) return failure;

  auto socket = kobject_uevent::UeventSocket::open(executor, 1);
  if (!socket) return fmt::format("Failed to start KOBJECT_UEVENT monitor: {}", socket.error().text());
  // Every accepted event becomes a task of its own; nobody waits for it.
  auto hand_off = [executor](kobject_uevent::KobjectUevent event) {
    spawn_task(executor, device::handle_uevent(std::move(event)), "event");
  };
  spawn_task(executor, uevent::run_monitor(std::move(*socket), hand_off), "monitor");

  // Synchronously, on the calling thread, while events and requests are
  // already served against the empty initial rule set.
  rules::load_rules();
  return std::nullopt;
}

}  // namespace korvid
