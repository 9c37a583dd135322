#include "korvid/env.hpp"

#include <cstdlib>

#include "korvid/utf8.hpp"

namespace korvid {

std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

std::string dev_root() { return env_text("KORVID_DEV_ROOT").value_or("/dev"); }

std::string sysfs_root() { return env_text("KORVID_SYSFS_ROOT").value_or("/sys"); }

bool has_devtmpfs() { return env_text("KORVID_HAS_DEVTMPFS") == "1"; }

}  // namespace korvid
