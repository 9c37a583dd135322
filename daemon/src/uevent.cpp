#include "uevent.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "korvid/env.hpp"
#include "korvid/log.hpp"
#include "runtime.hpp"

namespace korvid::uevent {
namespace {

using kobject_uevent::KobjectUevent;

spdlog::logger& logger() { return log::get(log::Target::uevent); }

struct NodeSpec {
  std::filesystem::path path;
  std::optional<std::uint32_t> major, minor;
  std::uint16_t mode;
  bool block;
};

// Blocking: parents first, then the node. An existing node stays unchanged.
int create_node(const NodeSpec& node) {
  std::error_code ignored;
  if (node.path.has_parent_path()) std::filesystem::create_directories(node.path.parent_path(), ignored);
  if (!node.major || !node.minor) return 0;
  const mode_t type = node.block ? S_IFBLK : S_IFCHR;
  const dev_t number = static_cast<dev_t>(device_number(*node.major, *node.minor));
  return ::mknod(node.path.c_str(), type | (node.mode & 07777), number) == 0 ? 0 : errno;
}

int remove_node(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

}  // namespace

std::filesystem::path node_path(std::string_view root, std::string_view devname) {
  return std::filesystem::path(root) / std::filesystem::path(devname);
}

boost::asio::awaitable<void> node_step(const KobjectUevent& uevent) {
  const auto devname = uevent.devname();
  if (!devname) co_return;
  const auto action = uevent.action();
  if (action == "add") {
    NodeSpec node{node_path(dev_root(), *devname), uevent.major(), uevent.minor(),
                  uevent.devmode().value_or(0600), uevent.subsystem() == "block"};
    // Named first: a capturing lambda temporary inside co_await is destroyed
    // twice by g++ 12.
    auto job = [node = std::move(node)] { return create_node(node); };
    co_await run_blocking(std::move(job));
  } else if (action == "remove") {
    auto job = [path = node_path(dev_root(), *devname)] { return remove_node(path); };
    co_await run_blocking(std::move(job));
  }
}

boost::asio::awaitable<void> run_monitor(kobject_uevent::UeventSocket socket, EventHandOff hand_off) {
  for (;;) {
    auto received = co_await socket.recv();
    if (!received) {
      logger().warn("Failed to receive KOBJECT_UEVENT: {}", received.error().text());
      continue;
    }
    KobjectUevent& uevent = *received;
    logger().debug("Received KOBJECT_UEVENT: {}", uevent);
    if (!has_devtmpfs()) co_await node_step(uevent);
    hand_off(std::move(uevent));
  }
}

}  // namespace korvid::uevent
