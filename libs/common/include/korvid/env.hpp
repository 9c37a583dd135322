#pragma once
// Reading korvid's environment variables. A variable whose value is not valid
// UTF-8 counts as unset. Nothing here caches: callers read at the moment of
// use, so a changed environment takes effect at the next use.

#include <optional>
#include <string>

namespace korvid {

std::optional<std::string> env_text(const char* name);

// KORVID_DEV_ROOT, "/dev" when unset; the empty text is used as is.
std::string dev_root();
// KORVID_SYSFS_ROOT, "/sys" when unset.
std::string sysfs_root();
// True only when KORVID_HAS_DEVTMPFS is exactly "1".
bool has_devtmpfs();

}  // namespace korvid
