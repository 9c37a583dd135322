#include "rule/loading.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>

#include "korvid/env.hpp"
#include "korvid/log.hpp"
#include "korvid/utf8.hpp"
#include "rule/notation.hpp"

namespace rule {
namespace {

namespace fs = std::filesystem;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

class Dir {
 public:
  explicit Dir(DIR* dir) : dir_(dir) {}
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

Result<std::string> read_whole_file(const fs::path& path) {
  // O_NONBLOCK keeps a FIFO without a writer from stalling the whole load;
  // regular files ignore it.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return RuleError::io(errno);
  std::string text;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    text.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return RuleError::io(errno);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// The parent directory, or none for a root or an empty path: an executable
// directly under "/" has no installation prefix.
std::optional<fs::path> parent_of(const fs::path& p) {
  if (p.empty() || p == p.root_path() || !p.has_relative_path()) return std::nullopt;
  return p.parent_path();
}

std::optional<fs::path> installation_rule_directory() {
  std::error_code ec;
  const fs::path exe = fs::canonical("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  const auto bin = parent_of(exe);
  if (!bin) return std::nullopt;
  const auto prefix = parent_of(*bin);
  if (!prefix) return std::nullopt;
  return *prefix / "share/device/rules";
}

}  // namespace

Result<RuleFile> read_rule_file(const fs::path& path) {
  auto text = read_whole_file(path);
  if (!text) return text.error();
  if (!korvid::is_valid_utf8(*text)) return RuleError::io_kind("invalid data");
  auto rules = parse_rules(*text);
  if (!rules) return rules.error();
  return RuleFile{path, std::move(*rules)};
}

std::vector<fs::path> rule_directories() {
  std::vector<fs::path> dirs;
  if (auto installed = installation_rule_directory()) dirs.push_back(std::move(*installed));
  if (const auto extra = korvid::env_text("KORVID_EXTRA_RULE_DIRS")) {
    // Every ":" splits, so "a::b" gives a, the empty path and b.
    std::string_view rest = *extra;
    for (;;) {
      const std::size_t colon = rest.find(':');
      dirs.emplace_back(std::string(rest.substr(0, colon)));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  for (const char* fixed : {"/share/device/rules", "/usr/share/device/rules", "/etc/device/rules",
                            "/var/config/device/rules"})
    dirs.emplace_back(fixed);
  return dirs;
}

RuleSet load_rule_set(const std::vector<fs::path>& directories) {
  auto& log = korvid::log::get(korvid::log::Target::rule_engine);
  RuleSet set;
  for (const fs::path& directory : directories) {
    // glibc's opendir opens with O_CLOEXEC.
    Dir dir(::opendir(directory.c_str()));
    if (dir.get() == nullptr) {
      log.debug("Did not read directory \"{}\" for rule files.", directory.native());
      continue;
    }
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) log.warn("Error while reading directory \"{}\" for rule files.", directory.native());
        break;
      }
      // Hidden entries, "." and ".." included, are never rule files.
      if (entry->d_name[0] == '.') continue;
      const fs::path path = directory / entry->d_name;
      auto file = read_rule_file(path);
      if (!file) {
        log.warn("Failed to parse rule file \"{}\": {}", path.native(), file.error().text());
        continue;
      }
      log.debug("Activating rule file \"{}\"", path.native());
      set.files.push_back(std::move(*file));
    }
  }
  return set;
}

}  // namespace rule
