#pragma once
// UeventSocket: a netlink socket subscribed to the kernel's uevent broadcast.
//
// One task owns the socket and calls recv() one datagram at a time. The
// socket is non-blocking, close-on-exec and driven by the Asio reactor.

#include <cstdint>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/result.hpp>

#include "kobject_uevent/kobject_uevent.hpp"

namespace kobject_uevent {

class UeventError {
 public:
  enum class Kind { Os, PermissionDenied };

  UeventError() = default;  // result<T, E> needs it; never observed

  static UeventError os(int errnum) { return UeventError(Kind::Os, errnum); }
  // A datagram that did not come from the kernel.
  static UeventError permission_denied() { return UeventError(Kind::PermissionDenied, 0); }

  Kind kind() const { return kind_; }
  int os_error() const { return errnum_; }
  // "{message} (os error {n})" or "permission denied".
  std::string text() const;

 private:
  UeventError(Kind kind, int errnum) : kind_(kind), errnum_(errnum) {}
  Kind kind_ = Kind::Os;
  int errnum_ = 0;
};

template <typename T>
using UeventResult = boost::system::result<T, UeventError>;

[[noreturn]] void throw_exception_from_error(const UeventError& e, const boost::source_location& loc);

class UeventSocket {
 public:
  // Receive buffer asked for with SO_RCVBUFFORCE (or SO_RCVBUF when that is
  // refused): a coldplug burst must fit while the monitor works.
  static constexpr int kReceiveBufferBytes = 128 * 1024 * 1024;

  // Creates the socket and binds it to the multicast `groups` mask (1 is
  // the kernel's uevent group).
  static UeventResult<UeventSocket> open(const boost::asio::any_io_executor& executor,
                                         std::uint32_t groups);

  // Waits for and consumes one datagram. Datagrams whose sender port is not
  // 0 (not the kernel) are consumed and reported as permission denied.
  boost::asio::awaitable<UeventResult<KobjectUevent>> recv();

  // The port id the kernel assigned; for tests that send to the socket.
  std::uint32_t port_id() const;

 private:
  explicit UeventSocket(boost::asio::posix::stream_descriptor descriptor)
      : descriptor_(std::move(descriptor)) {}
  boost::asio::posix::stream_descriptor descriptor_;
};

}  // namespace kobject_uevent
