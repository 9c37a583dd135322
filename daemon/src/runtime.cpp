#include "runtime.hpp"

#include <algorithm>
#include <thread>

namespace korvid {
namespace {

boost::asio::thread_pool* make_pool() {
  // File-system calls mostly wait, so more threads than cores pay off.
  const unsigned threads = std::max(4u, 2 * std::thread::hardware_concurrency());
  return new boost::asio::thread_pool(threads);
}

}  // namespace

boost::asio::thread_pool& blocking_pool() {
  // Never destroyed: shutdown joins it explicitly while the runtime is gone.
  static boost::asio::thread_pool* pool = make_pool();
  return *pool;
}

void shut_down_blocking_pool() {
  blocking_pool().stop();
  blocking_pool().join();
}

}  // namespace korvid
