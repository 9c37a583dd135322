#include "devpaths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "korvid/utf8.hpp"

namespace korvidctl {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

enum class EntryType { Directory, Regular, Other, Unknown };

EntryType entry_type(DIR* dir, const dirent& entry) {
  switch (entry.d_type) {
    case DT_DIR: return EntryType::Directory;
    case DT_REG: return EntryType::Regular;
    case DT_UNKNOWN: break;
    default: return EntryType::Other;
  }
  struct stat st{};
  if (::fstatat(::dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryType::Unknown;
  if (S_ISDIR(st.st_mode)) return EntryType::Directory;
  if (S_ISREG(st.st_mode)) return EntryType::Regular;
  return EntryType::Other;
}

// The DEVPATH of `sysfs_root` itself: empty, unless the root is a directory
// inside the real sysfs below /sys.
std::string root_devpath(const std::string& sysfs_root) {
  struct statfs fs{};
  if (::statfs(sysfs_root.c_str(), &fs) != 0 || fs.f_type != SYSFS_MAGIC) return {};
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(sysfs_root.c_str(), nullptr), &std::free);
  if (!real) return {};
  const std::string_view path = real.get();
  if (path.starts_with("/sys/")) return std::string(path.substr(4));
  return {};
}

void walk(const std::string& dir, const std::string& devpath, std::vector<std::string>& out) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  std::unique_ptr<DIR, DirCloser> stream(::fdopendir(fd));
  if (!stream) {
    ::close(fd);
    return;
  }
  bool has_uevent = false;
  bool has_subsystem = false;
  std::vector<std::string> subdirectories;
  while (const dirent* entry = ::readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name == "subsystem") {
      has_subsystem = true;
    } else if (name == "uevent") {
      has_uevent = entry_type(stream.get(), *entry) == EntryType::Regular;
    } else if (entry_type(stream.get(), *entry) == EntryType::Directory) {
      subdirectories.emplace_back(name);
    }
  }
  stream.reset();
  if (has_uevent && has_subsystem && !devpath.empty()) out.push_back(korvid::utf8_lossy(devpath));
  for (const auto& name : subdirectories) {
    walk((std::filesystem::path(dir) / name).native(), devpath + "/" + name, out);
  }
}

std::string escape_for_regex(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (std::string_view(R"(\.+*?()|[]{}^$)").find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::vector<std::string> devpath_patterns(const std::vector<std::string>& devpaths, std::size_t max_pattern_bytes) {
  std::vector<std::string> patterns;
  std::string current;
  for (const auto& devpath : devpaths) {
    const std::string alternative = escape_for_regex(devpath);
    // "(?:" + alternatives joined by "|" + ")": 4 bytes besides them.
    if (!current.empty() && current.size() + 1 + alternative.size() + 4 > max_pattern_bytes) {
      patterns.push_back("(?:" + current + ")");
      current.clear();
    }
    if (!current.empty()) current += '|';
    current += alternative;
  }
  if (!current.empty()) patterns.push_back("(?:" + current + ")");
  return patterns;
}

std::string trigger_start_directory(const std::string& sysfs_root, const std::string& scope) {
  if (scope == "all") return sysfs_root;
  return (std::filesystem::path(sysfs_root) / "devices").native();
}

std::vector<std::string> triggered_devpaths(const std::string& sysfs_root, const std::string& scope) {
  std::vector<std::string> devpaths;
  std::string devpath = root_devpath(sysfs_root);
  if (scope != "all") devpath += "/devices";
  walk(trigger_start_directory(sysfs_root, scope), devpath, devpaths);
  return devpaths;
}

}  // namespace korvidctl
