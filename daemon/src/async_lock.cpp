#include "async_lock.hpp"

namespace korvid {

bool AsyncLock::try_lock() {
  std::lock_guard guard(mutex_);
  if (held_) return false;
  held_ = true;
  return true;
}

bool AsyncLock::take_or_queue(std::unique_ptr<Waiter>& waiter) {
  std::lock_guard guard(mutex_);
  if (!held_) {
    held_ = true;
    return true;
  }
  waiters_.push_back(std::move(waiter));
  return false;
}

void AsyncLock::unlock() {
  std::unique_ptr<Waiter> next;
  {
    std::lock_guard guard(mutex_);
    if (waiters_.empty()) {
      held_ = false;
      return;
    }
    // The permit passes directly: held_ stays true for the next waiter.
    next = std::move(waiters_.front());
    waiters_.pop_front();
  }
  next->resume();
}

bool AsyncLock::is_locked() const {
  std::lock_guard guard(mutex_);
  return held_;
}

}  // namespace korvid
