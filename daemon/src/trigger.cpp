#include "trigger.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "korvid/error_text.hpp"
#include "korvid/log.hpp"
#include "korvid/utf8.hpp"
#include "runtime.hpp"

namespace korvid::trigger {
namespace {

spdlog::logger& logger() { return log::get(log::Target::trigger); }

// Only the entries the walk acts on are kept, in listing order.
struct Entry {
  std::string name;
  bool is_uevent;  // otherwise a real directory
};

struct Listing {
  int error = 0;  // errno of opening the directory; 0 when it was listed
  std::vector<Entry> entries;
};

bool is_real_directory(int dir_fd, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
  // The file system reports no types: ask for the entry itself, not the
  // target of a link. An entry that cannot be asked about is skipped.
  struct stat st{};
  if (::fstatat(dir_fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISDIR(st.st_mode);
}

// Blocking. A read error ends the listing; what was read before it stays.
Listing list_directory(const std::string& dir) {
  Listing listing;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    listing.error = errno;
    return listing;
  }
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    listing.error = errno;
    ::close(fd);
    return listing;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name == "uevent") {
      listing.entries.push_back({std::string(name), true});
    } else if (is_real_directory(::dirfd(stream), *entry)) {
      listing.entries.push_back({std::string(name), false});
    }
  }
  ::closedir(stream);
  return listing;
}

// Blocking. 0 on success, else the errno of the failing call.
int write_uevent(const std::string& path, const std::string& action) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  std::string_view rest = action;
  int error = 0;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) {
      error = EIO;
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
  return error;
}

std::string join(const std::string& dir, const std::string& name) {
  return (std::filesystem::path(dir) / name).native();
}

boost::asio::awaitable<void> walk_entries(const std::string& dir, const std::vector<Entry>& entries,
                                          const std::string& action) {
  for (const Entry& entry : entries) {
    std::string path = join(dir, entry.name);
    if (!entry.is_uevent) {
      // An unlistable subdirectory is skipped without a word.
      co_await trigger_directory(std::move(path), action);
      continue;
    }
    // Named first: a capturing lambda temporary inside co_await is destroyed
    // twice by g++ 12. Copies, so the job never refers into a frame that a
    // shutdown might destroy while the job still runs.
    auto job = [path, action] { return write_uevent(path, action); };
    const int error = co_await run_blocking(std::move(job));
    if (error == 0) {
      logger().debug("Triggering uevent \"{}\" for \"{}\".", action, utf8_lossy(path));
    } else {
      logger().warn("Failed to trigger uevent \"{}\" for \"{}\": {}", action, utf8_lossy(path),
                    os_error_text(error));
    }
  }
}

boost::asio::awaitable<Listing> list(const std::string& dir) {
  auto job = [dir] { return list_directory(dir); };
  co_return co_await run_blocking(std::move(job));
}

}  // namespace

boost::asio::awaitable<void> trigger_walk(std::string start_dir, std::string action) {
  const Listing listing = co_await list(start_dir);
  if (listing.error != 0) {
    logger().warn("\"{}\" is inaccessible. Check your system configuration.", utf8_lossy(start_dir));
    co_return;
  }
  co_await walk_entries(start_dir, listing.entries, action);
}

boost::asio::awaitable<std::optional<int>> trigger_directory(std::string dir, std::string action) {
  const Listing listing = co_await list(dir);
  if (listing.error != 0) co_return listing.error;
  co_await walk_entries(dir, listing.entries, action);
  co_return std::nullopt;
}

}  // namespace korvid::trigger
