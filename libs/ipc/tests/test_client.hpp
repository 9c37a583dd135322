#pragma once
// Test helpers: a blocking client speaking korvid's framing on an abstract
// socket name, a fake request type, and a descriptor count. Receives time
// out after 30 s so a server fault fails a test instead of hanging it.

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/protocol.hpp"

namespace korvid::ipc::testing {

inline const std::string kBadRequestReply = R"({"error":"/Tessaro/BadRequest@TESSARO_LITE_1"})";

inline socklen_t abstract_address(std::string_view name, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

inline std::string frame(std::string_view body) {
  auto header = frame_header(body.size());
  std::string bytes(reinterpret_cast<const char*>(header->data()), header->size());
  return bytes.append(body);
}

class Client {
 public:
  explicit Client(std::string_view name) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    const socklen_t length = abstract_address(name, address);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      connect_errno_ = errno;
      return;
    }
    timeval limit{30, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    connected_ = true;
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() { close(); }

  bool connected() const { return connected_; }
  int connect_errno() const { return connect_errno_; }

  bool send_raw(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool send(std::string_view body) { return send_raw(frame(body)); }

  // One reply body; nullopt on end of stream, an error or the time limit.
  std::optional<std::string> receive() {
    unsigned char header[2];
    if (!read_exactly(header, 2)) return std::nullopt;
    std::string body(frame_length(header[0], header[1]), '\0');
    if (!read_exactly(body.data(), body.size())) return std::nullopt;
    return body;
  }

  std::string call(std::string_view body) {
    if (!send(body)) return "<send failed>";
    return receive().value_or("<no reply>");
  }

  // True when the server closed the connection (read returns 0).
  bool sees_end_of_stream() {
    char byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  bool read_exactly(void* data, std::size_t size) {
    auto* out = static_cast<char*>(data);
    while (size > 0) {
      const ssize_t n = ::recv(fd_, out, size, 0);
      if (n <= 0) return false;
      out += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  int fd_ = -1;
  int connect_errno_ = 0;
  bool connected_ = false;
};

inline int open_descriptor_count() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// Polls until the count is back at `expected` (connections close as their
// coroutines notice the peer's close), for at most 20 s.
inline int wait_for_descriptor_count(int expected) {
  int count = open_descriptor_count();
  for (int i = 0; i < 2000 && count != expected; ++i) {
    ::usleep(10'000);
    count = open_descriptor_count();
  }
  return count;
}

}  // namespace korvid::ipc::testing
