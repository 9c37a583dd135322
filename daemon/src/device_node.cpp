#include "device_node.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "korvid/error_text.hpp"
#include "korvid/log.hpp"
#include "runtime.hpp"
#include "util.hpp"

namespace korvid::device {
namespace {

spdlog::logger& logger() { return log::get(log::Target::device); }

int errno_of(int rc) { return rc == 0 ? 0 : errno; }

int change_owner(const std::string& path, uid_t uid, gid_t gid) { return errno_of(::lchown(path.c_str(), uid, gid)); }

int change_mode(const std::string& path, mode_t mode) { return errno_of(::chmod(path.c_str(), mode)); }

std::optional<std::string> read_link(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

int make_parents(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return 0;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  return ec.value();
}

int make_link(const std::string& target, const std::string& link) {
  return errno_of(::symlink(target.c_str(), link.c_str()));
}

int remove_link(const std::string& link) { return errno_of(::unlink(link.c_str())); }

// Components that decide path identity: whether it is absolute, then every
// non-empty component.
std::vector<std::string_view> components(std::string_view path, bool* absolute) {
  *absolute = path.starts_with('/');
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    // "." only counts at the very start of a relative path.
    if (!part.empty() && !(part == "." && (!parts.empty() || *absolute))) parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::vector<std::string> symlink_entries(std::string_view value) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t end = value.find('\0', start);
    if (end == std::string_view::npos) end = value.size();
    entries.emplace_back(value.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

bool same_path(std::string_view a, std::string_view b) {
  bool a_absolute, b_absolute;
  const auto a_parts = components(a, &a_absolute);
  const auto b_parts = components(b, &b_absolute);
  return a_absolute == b_absolute && a_parts == b_parts;
}

boost::asio::awaitable<void> apply_node_attributes(std::string devnode, const rule::Environment& env) {
  // Read and converted in this order so their warnings appear in it.
  const auto owner = env.get("OWNER");
  const auto group = env.get("GROUP");
  const auto mode_text = env.get("MODE");
  const auto uid = util::resolve_user(owner);
  const auto gid = util::resolve_group(group);
  const auto mode = util::parse_mode(mode_text);

  // Called even without owner and group: it then only checks the node exists.
  auto chown_job = [&devnode, u = uid.value_or(static_cast<uid_t>(-1)), g = gid.value_or(static_cast<gid_t>(-1))] {
    return change_owner(devnode, u, g);
  };
  if (const int err = co_await run_blocking(chown_job))
    logger().warn("{}: failed to set ownership: {}", devnode, os_error_text(err));

  if (mode) {
    auto chmod_job = [&devnode, m = static_cast<mode_t>(*mode)] { return change_mode(devnode, m); };
    if (const int err = co_await run_blocking(chmod_job))
      logger().warn("{}: failed to set permissions: {}", devnode, os_error_text(err));
  }
}

boost::asio::awaitable<void> create_links(std::string devnode, const rule::Environment& env) {
  const auto value = env.get("SYMLINKS");
  if (!value) co_return;
  for (const std::string& link : symlink_entries(*value)) {
    auto read_job = [&link] { return read_link(link); };
    const std::optional<std::string> existing = co_await run_blocking(read_job);
    // A link that already points at the node means the list was applied.
    if (existing && same_path(*existing, devnode)) co_return;

    auto parents_job = [&link] { return make_parents(link); };
    co_await run_blocking(parents_job);
    auto link_job = [&devnode, &link] { return make_link(devnode, link); };
    if (const int err = co_await run_blocking(link_job))
      logger().warn("{}: failed to create symbolic link \"{}\": {}", devnode, link, os_error_text(err));
  }
}

boost::asio::awaitable<void> remove_links(const rule::Environment& env) {
  const auto value = env.get("SYMLINKS");
  if (!value) co_return;
  for (const std::string& link : symlink_entries(*value)) {
    auto job = [&link] { return remove_link(link); };
    if (const int err = co_await run_blocking(job))
      logger().warn("failed to remove symbolic link \"{}\": {}", link, os_error_text(err));
  }
}

}  // namespace korvid::device
