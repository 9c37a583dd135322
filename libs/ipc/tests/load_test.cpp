// Many clients at once against the test server, each mixing valid and
// malformed requests; every reply must be the right one, and every
// connection's descriptor must be gone afterwards.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_client.hpp"
#include "test_server.hpp"

namespace {

using namespace korvid::ipc::testing;

TEST(ServerLoad, ManyConcurrentClientsGetTheirOwnReplies) {
  constexpr int kClients = 200;
  constexpr int kRequests = 100;
  TestServer server;
  const int baseline = open_descriptor_count();

  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  std::mutex first_mismatch_mutex;
  std::string first_mismatch;
  auto expect = [&](const std::string& got, const std::string& want) {
    if (got == want) {
      ++answered;
      return;
    }
    if (wrong++ == 0) {
      std::lock_guard lock(first_mismatch_mutex);
      first_mismatch = "got " + got.substr(0, 100) + ", want " + want.substr(0, 100);
    }
  };

  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Client client(server.name());
      if (!client.connected()) {
        wrong += kRequests;
        return;
      }
      for (int i = 0; i < kRequests; ++i) {
        const std::string tag = std::to_string(c) + "-" + std::to_string(i);
        switch (i % 5) {
          case 0: expect(client.call("echo:" + tag), "\"" + tag + "\""); break;
          case 1: expect(client.call("garbage " + tag), kBadRequestReply); break;
          case 2: expect(client.call(""), kBadRequestReply); break;
          case 3: {
            const std::string text = tag + std::string(2000 + c, '.');
            expect(client.call("echo:" + text), "\"" + text + "\"");
            break;
          }
          default: expect(client.call(std::string("\0\xff\x01", 3)), kBadRequestReply); break;
        }
      }
    });
  }
  for (auto& thread : clients) thread.join();

  EXPECT_EQ(wrong.load(), 0) << first_mismatch;
  EXPECT_EQ(answered.load(), kClients * kRequests);
  EXPECT_EQ(server.peers().size(), static_cast<std::size_t>(kClients));
  EXPECT_EQ(wait_for_descriptor_count(baseline), baseline);
}

}  // namespace
