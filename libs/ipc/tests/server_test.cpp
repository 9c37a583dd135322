#include "ipc/server.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "korvid/error_text.hpp"
#include "test_client.hpp"
#include "test_server.hpp"

namespace {

using namespace korvid::ipc::testing;
using korvid::ipc::bind_server;
using korvid::ipc::kBadReplyFallback;

class ServerTest : public ::testing::Test {
 protected:
  TestServer server_;
};

TEST_F(ServerTest, AnswersEachFrameInOrderAndSurvivesBadRequests) {
  Client client(server_.name());
  ASSERT_TRUE(client.connected()) << std::strerror(client.connect_errno());
  EXPECT_EQ(client.call(""), kBadRequestReply);  // a zero-length frame
  EXPECT_EQ(client.call("echo:after empty"), "\"after empty\"");
  EXPECT_EQ(client.call("nonsense"), kBadRequestReply);
  EXPECT_EQ(client.call("echo:a\"b\n"), "\"a\\\"b\\n\"");

  // Two frames in one write, no waiting between them.
  ASSERT_TRUE(client.send_raw(frame("echo:one") + frame("echo:two")));
  EXPECT_EQ(client.receive(), "\"one\"");
  EXPECT_EQ(client.receive(), "\"two\"");
}

TEST_F(ServerTest, ReplyThatCannotBeFramedGetsFallbackAndConnectionStays) {
  Client client(server_.name());
  ASSERT_TRUE(client.connected());
  const auto largest = client.call("big:65533");
  EXPECT_EQ(largest.size(), 65535u);
  EXPECT_EQ(largest, "\"" + std::string(65533, 'x') + "\"");
  EXPECT_EQ(client.call("big:65534"), kBadReplyFallback);
  EXPECT_EQ(client.call("big:200000"), kBadReplyFallback);
  EXPECT_EQ(client.call("bad-utf8"), kBadReplyFallback);
  EXPECT_EQ(client.call("echo:still here"), "\"still here\"");
}

TEST_F(ServerTest, LargeRequestBodyIsReadWhole) {
  Client client(server_.name());
  ASSERT_TRUE(client.connected());
  const std::string text(65535 - 5, 'y');
  EXPECT_EQ(client.call("echo:" + text), "\"" + text + "\"");
  EXPECT_EQ(client.call("echo:short"), "\"short\"");  // the buffer shrinks back
}

TEST_F(ServerTest, PartialFramesEndOnlyTheirConnection) {
  const int baseline = open_descriptor_count();
  {
    Client one_length_byte(server_.name());
    ASSERT_TRUE(one_length_byte.send_raw(std::string(1, '\x05')));
    Client half_body(server_.name());
    ASSERT_TRUE(half_body.send_raw(frame("echo:xyz").substr(0, 5)));
    Client silent(server_.name());
    ASSERT_TRUE(silent.connected());
    Client other(server_.name());
    EXPECT_EQ(other.call("echo:served"), "\"served\"");
  }
  // The server closed its side of all four.
  EXPECT_EQ(wait_for_descriptor_count(baseline), baseline);
  Client later(server_.name());
  EXPECT_EQ(later.call("echo:later"), "\"later\"");
}

TEST_F(ServerTest, WaitingRequestDoesNotHoldUpOtherConnections) {
  Client waiter(server_.name());
  ASSERT_TRUE(waiter.send("wait"));
  for (int i = 0; i < 2000 && !server_.handler().waiting_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(server_.handler().waiting_);

  Client other(server_.name());
  EXPECT_EQ(other.call("echo:meanwhile"), "\"meanwhile\"");
  EXPECT_EQ(other.call("release"), "\"ok\"");
  EXPECT_EQ(waiter.receive(), "\"released\"");
}

TEST_F(ServerTest, HandlerExceptionEndsOnlyThatConnection) {
  Client failing(server_.name());
  ASSERT_TRUE(failing.send("throw"));
  EXPECT_TRUE(failing.sees_end_of_stream());
  Client other(server_.name());
  EXPECT_EQ(other.call("echo:fine"), "\"fine\"");
}

TEST_F(ServerTest, ReportsPeerCredentials) {
  Client client(server_.name());
  // A reply means the connection was accepted and reported.
  ASSERT_EQ(client.call("echo:x"), "\"x\"");
  const auto peers = server_.peers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].uid, ::getuid());
  EXPECT_EQ(peers[0].gid, ::getgid());
  EXPECT_EQ(peers[0].pid, static_cast<std::uint32_t>(::getpid()));
}

std::set<int> open_descriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

TEST(ServerDescriptors, EveryNewDescriptorIsCloseOnExec) {
  // Descriptors inherited from whoever started the test are not ours to judge.
  const std::set<int> inherited = open_descriptors();
  TestServer server;
  Client client(server.name());
  ASSERT_EQ(client.call("echo:x"), "\"x\"");
  int checked = 0;
  for (int fd : open_descriptors()) {
    if (inherited.contains(fd)) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // the listing's own descriptor, already closed
    ++checked;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "fd " << fd;
  }
  // At least the listener, the accepted stream and the client's socket.
  EXPECT_GE(checked, 3);
}

TEST(BindServer, BindsTheExactAbstractName) {
  boost::asio::io_context context;
  const std::string name = TestServer::next_name();
  auto listener = bind_server(context.get_executor(), name);
  ASSERT_TRUE(listener) << korvid::error_text(listener.error());

  sockaddr_un bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(::getsockname(listener->native_handle(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
  sockaddr_un expected;
  ASSERT_EQ(length, abstract_address(name, expected));  // no terminating 0 counted
  EXPECT_EQ(std::memcmp(&bound, &expected, length), 0);

  const int fd = listener->native_handle();
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);

  // The same name with a trailing 0 byte is a different abstract name.
  Client with_nul(name + std::string(1, '\0'));
  EXPECT_EQ(with_nul.connect_errno(), ECONNREFUSED);
}

TEST(BindServer, SecondBindOfTheSameNameFails) {
  boost::asio::io_context context;
  const std::string name = TestServer::next_name();
  auto first = bind_server(context.get_executor(), name);
  ASSERT_TRUE(first);
  const int before = open_descriptor_count();
  auto second = bind_server(context.get_executor(), name);
  ASSERT_FALSE(second);
  EXPECT_EQ(korvid::error_text(second.error()), "Address already in use (os error 98)");
  EXPECT_EQ(open_descriptor_count(), before);  // the failed socket was closed
}

TEST(BindServer, NameTooLongForTheAddressFails) {
  boost::asio::io_context context;
  auto listener = bind_server(context.get_executor(), std::string(200, 'n'));
  ASSERT_FALSE(listener);
  EXPECT_EQ(korvid::error_text(listener.error()), "File name too long (os error 36)");
}

}  // namespace
