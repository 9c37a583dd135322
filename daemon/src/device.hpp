#pragma once
// The device event pipeline: what one kernel uevent means for a device.
//
// Each event runs as its own task. "add" works on a private environment and
// publishes the device at its end without taking the device lock; "remove"
// and "change" hold the device's lock for their whole run, so a free lock
// means no such event is in progress. Failures are logged, never returned.

#include <memory>

#include <boost/asio/awaitable.hpp>

#include "device_registry.hpp"
#include "kobject_uevent/kobject_uevent.hpp"

namespace korvid::device {

boost::asio::awaitable<void> handle_uevent(kobject_uevent::KobjectUevent uevent);

boost::asio::awaitable<void> handle_add(const kobject_uevent::KobjectUevent& uevent);
boost::asio::awaitable<void> handle_remove(const kobject_uevent::KobjectUevent& uevent);
boost::asio::awaitable<void> handle_change(const kobject_uevent::KobjectUevent& uevent);

// A device not yet registered: default settings, DEVROOT set, lock free.
std::shared_ptr<Device> new_device_environment();

// Copies every property of the event into env, then sets DEVNODE to
// "{dev_root}/{DEVNAME}" when DEVNAME is present.
void import_event(rule::Environment& env, const kobject_uevent::KobjectUevent& uevent);

}  // namespace korvid::device
