#include "util.hpp"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <vector>

#include "kobject_uevent/kobject_uevent.hpp"
#include "korvid/log.hpp"

namespace korvid::util {
namespace {

spdlog::logger& logger() { return log::get(log::Target::util); }

// Runs a get*nam_r call with a buffer that grows while the call says ERANGE.
template <typename Entry, typename Lookup>
std::optional<Entry> lookup_by_name(Lookup lookup) {
  std::vector<char> buffer(1024);
  for (;;) {
    Entry entry{};
    Entry* found = nullptr;
    const int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 24)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return std::nullopt;
    return entry;
  }
}

}  // namespace

std::optional<std::uint16_t> parse_mode(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (text->starts_with("0o")) {
    std::string_view digits = std::string_view(*text).substr(2);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    bool valid = !digits.empty();
    std::uint32_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '7' || value > 0xFFFF) {
        valid = false;
        break;
      }
      value = value * 8 + static_cast<std::uint32_t>(c - '0');
    }
    if (valid && value <= 0xFFFF) return static_cast<std::uint16_t>(value);
  }
  logger().warn("Invalid mode \"{}\", fallbacking to the default value", *text);
  return std::nullopt;
}

std::optional<uid_t> resolve_user(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (auto id = kobject_uevent::parse_decimal_u32(*text)) return static_cast<uid_t>(*id);
  const std::string& name = *text;
  // A name with a NUL inside would be cut short by the C lookup.
  auto entry = name.find('\0') != std::string::npos ? std::nullopt : lookup_by_name<passwd>([&](passwd* pw, char* buf, std::size_t len, passwd** out) {
    return ::getpwnam_r(name.c_str(), pw, buf, len, out);
  });
  if (entry) return entry->pw_uid;
  logger().warn("Unrecognized user \"{}\", fallbacking to root", name);
  return 0;
}

std::optional<gid_t> resolve_group(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (auto id = kobject_uevent::parse_decimal_u32(*text)) return static_cast<gid_t>(*id);
  const std::string& name = *text;
  auto entry = name.find('\0') != std::string::npos ? std::nullopt : lookup_by_name<group>([&](group* gr, char* buf, std::size_t len, group** out) {
    return ::getgrnam_r(name.c_str(), gr, buf, len, out);
  });
  if (entry) return entry->gr_gid;
  logger().warn("Unrecognized group \"{}\", fallbacking to root", name);
  return 0;
}

}  // namespace korvid::util
