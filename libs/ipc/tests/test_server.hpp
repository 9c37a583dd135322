#pragma once
// A server on a test-only abstract name (with the pid in it), served by a
// real multi-threaded io_context and a fake handler whose requests are plain
// text commands:
//   "echo:<text>"  -> the JSON string <text>
//   "big:<n>"      -> a JSON string of n 'x' (a reply of n + 2 bytes)
//   "bad-utf8"     -> a string that cannot be encoded
//   "wait"         -> waits until some connection sends "release"
//   "release"      -> "ok"
//   "throw"        -> the handler throws
// Any other body fails to decode (BadRequest).

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "ipc/server.hpp"

namespace korvid::ipc::testing {

struct TestRequest {
  std::string text;
};

inline std::optional<TestRequest> decode_test_request(std::span<const std::uint8_t> body) {
  std::string text(body.begin(), body.end());
  for (const char* prefix : {"echo:", "big:", "bad-utf8", "wait", "release", "throw"}) {
    if (text.starts_with(prefix)) return TestRequest{std::move(text)};
  }
  return std::nullopt;
}

class FakeHandler : public RequestHandler<TestRequest> {
 public:
  boost::asio::awaitable<MethodResult> handle(TestRequest request) override {
    const std::string& text = request.text;
    if (text.starts_with("echo:")) co_return text.substr(5);
    if (text.starts_with("big:")) co_return std::string(std::stoul(text.substr(4)), 'x');
    if (text == "bad-utf8") co_return std::string("\xff");
    if (text == "release") {
      released_ = true;
      co_return "ok";
    }
    if (text == "wait") {
      waiting_ = true;
      boost::asio::steady_timer tick(co_await boost::asio::this_coro::executor);
      while (!released_) {
        tick.expires_after(std::chrono::milliseconds(5));
        co_await tick.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
      }
      co_return "released";
    }
    throw std::runtime_error("handler failed");
  }

  std::atomic<bool> waiting_{false};
  std::atomic<bool> released_{false};
};

class TestServer {
 public:
  explicit TestServer(int threads = 4) : name_(next_name()) {
    auto listener = bind_server(context_.get_executor(), name_);
    if (!listener) throw std::system_error(listener.error());
    boost::asio::co_spawn(
        context_,
        run_accept_loop<TestRequest>(std::move(*listener), decode_test_request, handler_,
                                     [this](const PeerCredentials& peer) {
                                       std::lock_guard lock(mutex_);
                                       peers_.push_back(peer);
                                     }),
        [](std::exception_ptr failure) {
          if (failure) std::fprintf(stderr, "accept loop ended by an exception\n");
        });
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { context_.run(); });
  }
  ~TestServer() {
    context_.stop();
    for (auto& thread : threads_) thread.join();
  }

  const std::string& name() const { return name_; }
  boost::asio::io_context& context() { return context_; }
  FakeHandler& handler() { return handler_; }
  std::vector<PeerCredentials> peers() {
    std::lock_guard lock(mutex_);
    return peers_;
  }

  static std::string next_name() {
    static std::atomic<int> counter{0};
    return "korvid-test/" + std::to_string(::getpid()) + "/" + std::to_string(counter++);
  }

 private:
  std::string name_;
  // Declared before the context: connections still refer to them while the
  // context destroys its pending coroutines.
  FakeHandler handler_;
  std::mutex mutex_;
  std::vector<PeerCredentials> peers_;
  boost::asio::io_context context_;
  std::vector<std::thread> threads_;
};

}  // namespace korvid::ipc::testing
