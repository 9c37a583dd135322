#pragma once
// Turning the OWNER, GROUP and MODE properties into ids and permission bits.
// Invalid values are logged at WARN (target korvid::util) and fall back.
// User and group lookups use the reentrant database calls and run inline.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace korvid::util {

// "0o" followed by an octal number (one optional "+") that fits 16 bits.
std::optional<std::uint16_t> parse_mode(const std::optional<std::string>& text);

// A decimal id is taken as is; a name is looked up; an unknown name is root.
std::optional<uid_t> resolve_user(const std::optional<std::string>& text);
std::optional<gid_t> resolve_group(const std::optional<std::string>& text);

}  // namespace korvid::util
