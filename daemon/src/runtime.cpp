#include "runtime.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
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

void report_task_failure(std::string_view task, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvid: %.*s task failed: %s\n", static_cast<int>(task.size()), task.data(), e.what());
  } catch (...) {
    std::fprintf(stderr, "korvid: %.*s task failed\n", static_cast<int>(task.size()), task.data());
  }
}

}  // namespace korvid
