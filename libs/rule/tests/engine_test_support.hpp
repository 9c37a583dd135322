#pragma once
// Test support for the engine and command suites: a real multi-threaded
// io_context, and a way to run one coroutine on it to completion.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

namespace rule::testing {

// Worker threads start with SIGUSR1 blocked and SIGPIPE ignored, the way a
// daemon's threads may look, so children show whether they got a clean slate.
class ThreadedIoContext {
 public:
  explicit ThreadedIoContext(int threads = 2) {
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~ThreadedIoContext() {
    work_.reset();
    io_.stop();
    for (auto& t : threads_) t.join();
  }

  boost::asio::io_context& io() { return io_; }

  // Starts a coroutine; its future becomes ready when it completes.
  template <typename T>
  std::future<T> start(boost::asio::awaitable<T> task) {
    return boost::asio::co_spawn(io_, std::move(task), boost::asio::use_future);
  }

  // Runs a coroutine to completion. The limit only guards against a hang.
  template <typename T>
  T run(boost::asio::awaitable<T> task) {
    return finish(start(std::move(task)));
  }

  template <typename T>
  static T finish(std::future<T> future) {
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      std::fprintf(stderr, "coroutine did not complete within 60 s\n");
      std::abort();
    }
    return future.get();
  }

 private:
  boost::asio::io_context io_{2};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{io_.get_executor()};
  std::vector<std::thread> threads_;
};

}  // namespace rule::testing
