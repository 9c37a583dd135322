#pragma once
// The daemon's runtime helpers: the blocking pool, the one road by which
// async code reaches the file system, and task spawning that reports faults.
//
// run_blocking() runs a function on the blocking pool and resumes the caller
// on its own executor, so worker threads never wait on the file system.

#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "korvid/task_failure.hpp"

namespace korvid {

// Process-wide pool for blocking file-system work, created on first use.
boost::asio::thread_pool& blocking_pool();

// Stops the pool and joins its threads (shutdown only).
void shut_down_blocking_pool();

template <typename F>
boost::asio::awaitable<std::invoke_result_t<F&>> run_blocking(F function) {
  using R = std::invoke_result_t<F&>;
  static_assert(!std::is_void_v<R>, "blocking jobs return their outcome");
  auto initiate = [](auto handler, F job) {
    auto work = boost::asio::make_work_guard(boost::asio::get_associated_executor(handler));
    boost::asio::post(blocking_pool(), [handler = std::move(handler), job = std::move(job),
                                        work = std::move(work)]() mutable {
      std::exception_ptr error;
      std::optional<R> outcome;
      try {
        outcome.emplace(job());
      } catch (...) {
        error = std::current_exception();
      }
      auto executor = work.get_executor();
      boost::asio::post(executor, [handler = std::move(handler), error,
                                   outcome = std::move(outcome)]() mutable {
        std::move(handler)(error, std::move(outcome));
      });
    });
  };
  // An exception from the job is rethrown here, so the outcome is present.
  std::optional<R> outcome =
      co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                           void(std::exception_ptr, std::optional<R>)>(
          initiate, boost::asio::use_awaitable, std::move(function));
  co_return std::move(*outcome);
}

// Spawns an independent task whose handle nobody keeps; an exception that
// escapes it is reported on stderr instead of being swallowed.
template <typename Executor>
void spawn_task(const Executor& executor, boost::asio::awaitable<void> task, std::string_view name) {
  boost::asio::co_spawn(executor, std::move(task),
                        [name](std::exception_ptr error) { report_task_failure(name, error); });
}

}  // namespace korvid
