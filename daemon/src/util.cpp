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

// A decimal id as is; otherwise the id of the named database entry, found
// with a reentrant get*nam_r whose buffer grows while it says ERANGE; root
// with a warning when there is none.
template <typename Entry, typename Id, typename Lookup, typename IdOf>
std::optional<Id> resolve_id(const std::optional<std::string>& text, Lookup lookup, IdOf id_of,
                             std::string_view what) {
  if (!text) return std::nullopt;
  if (auto id = kobject_uevent::parse_decimal_u32(*text)) return static_cast<Id>(*id);
  const std::string& name = *text;
  // A name with a NUL inside would be cut short by the C lookup.
  if (name.find('\0') == std::string::npos) {
    std::vector<char> buffer(1024);
    for (;;) {
      Entry entry{};
      Entry* found = nullptr;
      const int rc = lookup(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
      if (rc == ERANGE && buffer.size() < (1u << 24)) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (rc == 0 && found != nullptr) return id_of(entry);
      break;
    }
  }
  logger().warn("Unrecognized {} \"{}\", fallbacking to root", what, name);
  return 0;
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
  return resolve_id<passwd, uid_t>(text, ::getpwnam_r, [](const passwd& pw) { return pw.pw_uid; }, "user");
}

std::optional<gid_t> resolve_group(const std::optional<std::string>& text) {
  return resolve_id<group, gid_t>(text, ::getgrnam_r, [](const group& gr) { return gr.gr_gid; }, "group");
}

}  // namespace korvid::util
