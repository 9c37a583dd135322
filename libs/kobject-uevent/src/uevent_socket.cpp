#include "kobject_uevent/uevent_socket.hpp"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include <boost/asio/use_awaitable.hpp>
#include <boost/throw_exception.hpp>

#include "korvid/error_text.hpp"

namespace kobject_uevent {

std::string UeventError::text() const {
  if (kind_ == Kind::PermissionDenied) return "permission denied";
  return korvid::os_error_text(errnum_);
}

void throw_exception_from_error(const UeventError& e, const boost::source_location& loc) {
  boost::throw_exception(std::runtime_error(e.text()), loc);
}

UeventResult<UeventSocket> UeventSocket::open(const boost::asio::any_io_executor& executor,
                                              std::uint32_t groups) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return UeventError::os(errno);

  // Bursts (coldplug) overflow the default buffer within microseconds; a
  // larger one is best effort and adds no failure.
  const int size = kReceiveBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);

  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = 0;
  address.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    ::close(fd);
    return UeventError::os(err);
  }
  boost::system::error_code ec;
  boost::asio::posix::stream_descriptor descriptor(executor);
  descriptor.assign(fd, ec);
  if (ec) {
    ::close(fd);
    return UeventError::os(ec.value());
  }
  return UeventSocket(std::move(descriptor));
}

std::uint32_t UeventSocket::port_id() const {
  sockaddr_nl address{};
  socklen_t length = sizeof address;
  auto& descriptor = const_cast<boost::asio::posix::stream_descriptor&>(descriptor_);
  if (::getsockname(descriptor.native_handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return address.nl_pid;
}

boost::asio::awaitable<UeventResult<KobjectUevent>> UeventSocket::recv() {
  const int fd = descriptor_.native_handle();
  for (;;) {
    // MSG_TRUNC with MSG_PEEK reports the datagram's real length, so the
    // buffer below is exactly large enough and nothing is ever truncated.
    const ssize_t length = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        co_await descriptor_.async_wait(boost::asio::posix::descriptor_base::wait_read,
                                        boost::asio::use_awaitable);
        continue;
      }
      co_return UeventError::os(errno);
    }

    std::vector<char> buffer(static_cast<std::size_t>(length));
    sockaddr_nl sender{};
    iovec iov{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      co_return UeventError::os(errno);
    }
    if (sender.nl_pid != 0) co_return UeventError::permission_denied();
    buffer.resize(static_cast<std::size_t>(received));
    co_return KobjectUevent::parse(std::string_view(buffer.data(), buffer.size()));
  }
}

}  // namespace kobject_uevent
