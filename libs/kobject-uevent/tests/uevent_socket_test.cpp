#include "kobject_uevent/uevent_socket.hpp"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

namespace kobject_uevent {
namespace {

using namespace std::chrono_literals;

// Runs one recv() on a fresh context and returns its result (or nothing on
// time-out, so a missing datagram fails the test instead of hanging it).
std::optional<UeventResult<KobjectUevent>> receive_one(boost::asio::io_context& io, UeventSocket& socket) {
  auto future = boost::asio::co_spawn(io, socket.recv(), boost::asio::use_future);
  io.restart();
  io.run_for(10s);
  if (future.wait_for(0s) != std::future_status::ready) return std::nullopt;
  return future.get();
}

TEST(UeventSocket, OpensCloseOnExecAndNonBlocking) {
  boost::asio::io_context io;
  auto socket = UeventSocket::open(io.get_executor(), 1);
  ASSERT_TRUE(socket.has_value()) << socket.error().text();
  EXPECT_NE(socket->port_id(), 0u);
}

TEST(UeventSocket, DatagramFromUserSpaceIsPermissionDenied) {
  boost::asio::io_context io;
  auto socket = UeventSocket::open(io.get_executor(), 1);
  ASSERT_TRUE(socket.has_value());

  const int sender = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(sender, 0);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = socket->port_id();
  const std::string forged = std::string("add@/x\0ACTION=add\0DEVPATH=/x\0", 28);
  ASSERT_EQ(::sendto(sender, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(forged.size()));
  ::close(sender);

  auto result = receive_one(io, *socket);
  ASSERT_TRUE(result.has_value());
  ASSERT_FALSE(result->has_value());
  EXPECT_EQ(result->error().text(), "permission denied");
}

TEST(UeventSocket, ReceivesKernelEventWhole) {
  boost::asio::io_context io;
  auto socket = UeventSocket::open(io.get_executor(), 1);
  ASSERT_TRUE(socket.has_value());
  {
    std::ofstream("/sys/devices/virtual/mem/null/uevent") << "change";
  }
  // Other activity on the machine may interleave events: skip until ours.
  for (int i = 0; i < 100; ++i) {
    auto result = receive_one(io, *socket);
    ASSERT_TRUE(result.has_value()) << "no kernel uevent arrived";
    ASSERT_TRUE(result->has_value()) << result->error().text();
    const KobjectUevent& event = **result;
    if (event.devpath() != "/devices/virtual/mem/null" || event.action() != "change") continue;
    EXPECT_EQ(event.devname(), "null");
    EXPECT_EQ(event.major(), 1u);
    EXPECT_EQ(event.minor(), 3u);
    EXPECT_EQ(event.devmode(), 0666);
    EXPECT_TRUE(event.properties().contains("SEQNUM"));
    return;
  }
  FAIL() << "our change event never arrived";
}

}  // namespace
}  // namespace kobject_uevent
