#pragma once
// Which devices a trigger walk announces: korvidctl's own walk over the tree
// the daemon walked, used by `trigger --settle` to know what to wait for.
// Blocking; any thread.

#include <string>
#include <vector>

namespace korvidctl {

// The tree the daemon walks for a scope: the sysfs root joined with
// "devices", or the root itself for "all".
std::string trigger_start_directory(const std::string& sysfs_root, const std::string& scope);

// The DEVPATHs of the devices whose "uevent" file the daemon's walk for
// `scope` writes and for which the kernel then sends an event, in walk order.
// Like the daemon, never follows symbolic links and skips what it cannot
// list. A directory counts when it holds a regular file "uevent" and a
// "subsystem" entry: the kernel sends no event for a device without a bus or
// class (such as /sys/devices/platform), so waiting for one would never end.
// A DEVPATH is the directory's path below `sysfs_root` with a leading "/".
// When `sysfs_root` lies inside the mounted sysfs (KORVID_SYSFS_ROOT set to
// a subtree such as /sys/devices/virtual/mem), the part of its real path
// below /sys comes first, as in the kernel's DEVPATH.
std::vector<std::string> triggered_devpaths(const std::string& sysfs_root, const std::string& scope);

// Patterns for Match("DEVPATH", pattern) that together select exactly the
// given DEVPATHs: each an anchorable group of escaped alternatives, at most
// `max_pattern_bytes` long (one DEVPATH longer than that gets a pattern of its
// own). Asking for the missing devices this way keeps every ListDevices
// request and reply within one frame, where "True" would list all the
// devices of a large machine and overflow it.
std::vector<std::string> devpath_patterns(const std::vector<std::string>& devpaths, std::size_t max_pattern_bytes);

}  // namespace korvidctl
