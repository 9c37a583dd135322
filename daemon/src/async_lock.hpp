#pragma once
// AsyncLock: an asynchronous mutual-exclusion lock with one permit.
//
// Waiters are served strictly in the order they began to wait. The permit is
// handed to the next waiter by posting its continuation to the waiter's own
// executor, never by resuming it inline inside unlock(). Safe from any thread.
// Holding it guards no data by itself; it marks a device as being processed.

#include <list>
#include <memory>
#include <mutex>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace korvid {

class AsyncLock {
 public:
  AsyncLock() = default;
  AsyncLock(const AsyncLock&) = delete;
  AsyncLock& operator=(const AsyncLock&) = delete;

  // Takes the permit if it is free; never waits.
  bool try_lock();

  // Waits for the permit behind every earlier waiter.
  boost::asio::awaitable<void> lock();

  // Passes the permit to the first waiter, or frees it.
  void unlock();

  // Whether the permit is held at this moment (for diagnostics and tests).
  bool is_locked() const;

 private:
  struct Waiter {
    virtual ~Waiter() = default;
    virtual void resume() = 0;
  };

  template <typename Handler>
  struct HandlerWaiter final : Waiter {
    explicit HandlerWaiter(Handler h)
        : handler(std::move(h)), work(boost::asio::make_work_guard(boost::asio::get_associated_executor(handler))) {}
    void resume() override {
      auto executor = work.get_executor();
      boost::asio::post(executor, std::move(handler));
      work.reset();
    }
    Handler handler;
    boost::asio::executor_work_guard<boost::asio::associated_executor_t<Handler>> work;
  };

  // Either takes the permit at once or queues the waiter; returns true when
  // the permit was taken.
  bool take_or_queue(std::unique_ptr<Waiter>& waiter);

  mutable std::mutex mutex_;
  bool held_ = false;
  // A list, not a deque: an idle lock (nearly every device) allocates nothing.
  std::list<std::unique_ptr<Waiter>> waiters_;
};

inline boost::asio::awaitable<void> AsyncLock::lock() {
  auto initiate = [this](auto handler) {
    std::unique_ptr<Waiter> waiter =
        std::make_unique<HandlerWaiter<decltype(handler)>>(std::move(handler));
    // Granted at once: resume through a post as well, so the caller is never
    // resumed inside its own initiation.
    if (take_or_queue(waiter)) waiter->resume();
  };
  co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(
      initiate, boost::asio::use_awaitable);
}

}  // namespace korvid
