#include "device_registry.hpp"

#include <mutex>

namespace korvid::device {

DeviceRegistry& DeviceRegistry::instance() {
  // Never destroyed: event tasks may still hold devices at exit.
  static DeviceRegistry* registry = new DeviceRegistry();
  return *registry;
}

void DeviceRegistry::insert(std::string devpath, std::shared_ptr<Device> device) {
  std::shared_ptr<Device> replaced;
  std::unique_lock lock(mutex_);
  auto [it, inserted] = devices_.try_emplace(std::move(devpath), device);
  if (!inserted) {
    replaced = std::move(it->second);
    it->second = std::move(device);
  }
  lock.unlock();  // the replaced device is released outside the lock
}

std::shared_ptr<Device> DeviceRegistry::lookup(std::string_view devpath) const {
  std::shared_lock lock(mutex_);
  const auto it = devices_.find(devpath);
  return it == devices_.end() ? nullptr : it->second;
}

void DeviceRegistry::remove(std::string_view devpath) {
  std::shared_ptr<Device> removed;
  std::unique_lock lock(mutex_);
  const auto it = devices_.find(devpath);
  if (it == devices_.end()) return;
  removed = std::move(it->second);
  devices_.erase(it);
  lock.unlock();
}

std::vector<std::string> DeviceRegistry::keys() const {
  std::shared_lock lock(mutex_);
  std::vector<std::string> keys;
  keys.reserve(devices_.size());
  for (const auto& entry : devices_) keys.push_back(entry.first);
  return keys;
}

std::size_t DeviceRegistry::size() const {
  std::shared_lock lock(mutex_);
  return devices_.size();
}

}  // namespace korvid::device
