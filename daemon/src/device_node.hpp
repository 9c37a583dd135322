#pragma once
// What the device pipeline does to the device directory after the rules:
// ownership and permission bits of the node, and the symbolic links of the
// SYMLINKS list. Every file-system call runs on the blocking pool, awaited one
// at a time; failures are logged at WARN (target korvid::device) and the
// sequence goes on.

#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "rule/engine.hpp"

namespace korvid::device {

// The SYMLINKS list: entries each terminated by NUL; a final piece without NUL
// is an entry too.
std::vector<std::string> symlink_entries(std::string_view value);

// Whether two link targets name the same path, compared by their non-empty
// components (repeated or trailing separators do not matter).
bool same_path(std::string_view a, std::string_view b);

boost::asio::awaitable<void> apply_node_attributes(std::string devnode, const rule::Environment& env);
boost::asio::awaitable<void> create_links(std::string devnode, const rule::Environment& env);
boost::asio::awaitable<void> remove_links(const rule::Environment& env);

}  // namespace korvid::device
