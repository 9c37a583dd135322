#pragma once
// The table of known devices, keyed by DEVPATH.
//
// One process-wide instance. Its readers-writer lock is held for one table
// operation only and never across a wait: lookups hand out a shared handle so
// all work on a Device happens outside the lock.

#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "async_lock.hpp"
#include "korvid/text_map.hpp"
#include "rule/engine.hpp"

namespace korvid::device {

// A known device: its rule environment as the last processed event left it,
// and the lock that "remove" and "change" hold while they run.
struct Device {
  rule::Environment environment;
  AsyncLock lock;
};

class DeviceRegistry {
 public:
  static DeviceRegistry& instance();

  // Replaces (and releases) any device already stored under the key.
  void insert(std::string devpath, std::shared_ptr<Device> device);
  std::shared_ptr<Device> lookup(std::string_view devpath) const;
  void remove(std::string_view devpath);
  std::vector<std::string> keys() const;
  std::size_t size() const;

 private:
  mutable std::shared_mutex mutex_;
  korvid::TextMap<std::shared_ptr<Device>> devices_;
};

}  // namespace korvid::device
