#pragma once
// The coldplug trigger: writes an action word into every "uevent" file below
// a sysfs directory, so that the kernel announces those devices again.
//
// The walk is depth-first in listing order and never follows symbolic links,
// so it cannot loop through sysfs's many links and lists each real directory
// once. Every file-system call runs on the blocking pool, one at a time, and
// is awaited; the coroutines may run on any thread of the caller's executor.
// Two walks are independent of each other. Failures are logged on target
// korvid::trigger (or dropped silently) and never reach the caller.

#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

namespace korvid::trigger {

// Walks the whole tree below `start_dir` (used exactly as given) with
// `action`, one of "add", "remove", "change". A start directory that cannot
// be listed gives one WARN line and nothing else.
boost::asio::awaitable<void> trigger_walk(std::string start_dir, std::string action);

// The recursive step: walks `dir` and everything below it. The result is the
// errno of listing `dir` when that failed (nothing was walked then), nullopt
// otherwise; a failure to read further entries ends `dir` and still counts as
// success.
boost::asio::awaitable<std::optional<int>> trigger_directory(std::string dir, std::string action);

}  // namespace korvid::trigger
