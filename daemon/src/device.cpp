#include "device.hpp"

#include <fmt/format.h>

#include "device_node.hpp"
#include "korvid/env.hpp"
#include "korvid/log.hpp"
#include "rules.hpp"

namespace korvid::device {
namespace {

using kobject_uevent::KobjectUevent;

spdlog::logger& logger() { return log::get(log::Target::device); }

// A registered device whose lock this holder owns; released on destruction,
// however the holder leaves.
class LockedDevice {
 public:
  LockedDevice() = default;
  explicit LockedDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {}
  LockedDevice(LockedDevice&& other) noexcept : device_(std::move(other.device_)) {}
  LockedDevice& operator=(LockedDevice&&) = delete;
  ~LockedDevice() {
    if (device_) device_->lock.unlock();
  }
  explicit operator bool() const { return device_ != nullptr; }
  Device* operator->() const { return device_.get(); }

 private:
  std::shared_ptr<Device> device_;
};

// What "remove" and "change" share: the registered device, locked (waiting
// behind other holders, with no registry lock held), updated with the event
// and run through the rules. Empty when the device is not registered.
boost::asio::awaitable<LockedDevice> lock_and_run_rules(std::string_view devpath, const KobjectUevent& uevent) {
  auto device = DeviceRegistry::instance().lookup(devpath);
  if (!device) co_return LockedDevice();
  co_await device->lock.lock();
  LockedDevice locked(std::move(device));
  import_event(locked->environment, uevent);
  auto rule_set = rules::current_rules();
  co_await rule::run_rules(locked->environment, rule_set);
  co_return locked;
}

}  // namespace

std::shared_ptr<Device> new_device_environment() {
  auto device = std::make_shared<Device>();
  device->environment.set("DEVROOT", dev_root());
  return device;
}

void import_event(rule::Environment& env, const KobjectUevent& uevent) {
  for (const auto& [key, value] : uevent.properties()) env.set(key, value);
  if (const auto devname = env.get("DEVNAME")) env.set("DEVNODE", fmt::format("{}/{}", dev_root(), *devname));
}

boost::asio::awaitable<void> handle_add(const KobjectUevent& uevent) {
  const auto devpath = uevent.devpath();
  if (!devpath) co_return;
  auto device = new_device_environment();
  rule::Environment& env = device->environment;
  import_event(env, uevent);
  // Named, not passed as a temporary: g++ 12 destroys a prvalue argument of
  // a coroutine call inside co_await twice.
  auto rule_set = rules::current_rules();
  co_await rule::run_rules(env, rule_set);
  if (const auto devnode = env.get("DEVNODE")) co_await apply_node_attributes(*devnode, env);
  if (const auto devnode = env.get("DEVNODE")) co_await create_links(*devnode, env);
  DeviceRegistry::instance().insert(std::string(*devpath), std::move(device));
}

boost::asio::awaitable<void> handle_remove(const KobjectUevent& uevent) {
  const auto devpath = uevent.devpath();
  if (!devpath) co_return;
  LockedDevice device = co_await lock_and_run_rules(*devpath, uevent);
  if (!device) co_return;
  co_await remove_links(device->environment);
  DeviceRegistry::instance().remove(*devpath);
}

boost::asio::awaitable<void> handle_change(const KobjectUevent& uevent) {
  const auto devpath = uevent.devpath();
  if (!devpath) co_return;
  // Held in a named variable: a temporary result of co_await could be
  // destroyed twice by g++ 12, unlocking twice.
  const LockedDevice device = co_await lock_and_run_rules(*devpath, uevent);
}

boost::asio::awaitable<void> handle_uevent(KobjectUevent uevent) {
  const auto action = uevent.action();
  if (!action) co_return;
  if (*action == "add") {
    co_await handle_add(uevent);
  } else if (*action == "remove") {
    co_await handle_remove(uevent);
  } else if (*action == "change") {
    co_await handle_change(uevent);
  } else {
    logger().warn("Unrecognized uevent action \"{}\", should we update korvid?", *action);
  }
}

}  // namespace korvid::device
