#pragma once
// The uevent monitor: receives kernel uevents one at a time, logs them,
// creates or removes device nodes when the kernel does not (no devtmpfs), and
// hands each event on as an independent task.
//
// Receiving and the node step are strictly sequential, in kernel order; the
// hand-off never waits for the processing it starts.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "kobject_uevent/kobject_uevent.hpp"
#include "kobject_uevent/uevent_socket.hpp"

namespace korvid::uevent {

// Called once per accepted event after its node step; it must not block.
using EventHandOff = std::function<void(kobject_uevent::KobjectUevent)>;

// Runs until the runtime cancels it.
boost::asio::awaitable<void> run_monitor(kobject_uevent::UeventSocket socket, EventHandOff hand_off);

// Creates ("add") or removes ("remove") the node of one event below the
// device root; every failure is silent.
boost::asio::awaitable<void> node_step(const kobject_uevent::KobjectUevent& uevent);

// The device root joined with DEVNAME by path rules: no doubled separator,
// an absolute DEVNAME replaces the root.
std::filesystem::path node_path(std::string_view root, std::string_view devname);

// The usual 64-bit makedev encoding.
constexpr std::uint64_t device_number(std::uint32_t major, std::uint32_t minor) {
  const std::uint64_t ma = major, mi = minor;
  return (mi & 0xFFu) | ((ma & 0xFFFu) << 8) | ((mi & 0xFFFFFF00u) << 12) | ((ma & 0xFFFFF000u) << 32);
}

}  // namespace korvid::uevent
