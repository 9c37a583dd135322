// korvid's entry point: brings the subsystems up in their fixed order, waits
// for SIGINT and shuts down in order. Everything else lives in the modules.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "daemon.hpp"
#include "korvid/log.hpp"
#include "runtime.hpp"

namespace {

[[noreturn]] void fail_startup(std::string_view message) {
  korvid::log::get(korvid::log::Target::korvid).error("{}", message);
  korvid::log::flush();
  std::fflush(stdout);
  // Worker threads are running: leave without static destructors.
  ::_exit(1);
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);

  // 1. The runtime: an io_context driven by worker threads.
  std::unique_ptr<boost::asio::io_context> io;
  std::vector<std::thread> workers;
  try {
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    io = std::make_unique<boost::asio::io_context>(static_cast<int>(threads));
    korvid::blocking_pool();
    auto guard = std::make_shared<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
        io->get_executor());
    for (unsigned i = 0; i < threads; ++i) {
      workers.emplace_back([&io, guard] {
        for (;;) {
          try {
            io->run();
            return;
          } catch (...) {
            korvid::report_task_failure("worker", std::current_exception());
          }
        }
      });
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Failed building the Runtime: %s\n", e.what());
    ::_exit(1);  // some workers may already run
  }

  // 2. Logging.
  if (korvid::log::install()) {
    std::fprintf(stderr, "Unable to install global subscriber: a global logger is already installed\n");
    ::_exit(1);
  }

  // 3.-7. The subsystems.
  if (auto failure = korvid::start_daemon(io->get_executor())) fail_startup(*failure);

  // 8. Only now does SIGINT stop us in order; earlier it ends the process.
  std::promise<void> interrupted;
  auto signals = std::make_unique<boost::asio::signal_set>(*io);
  boost::system::error_code ec;
  signals->add(SIGINT, ec);
  if (!ec) {
    signals->async_wait([&interrupted](const boost::system::error_code&, int) { interrupted.set_value(); });
    interrupted.get_future().wait();
  }

  // 9. Shutdown: stop the runtime, join the workers and the blocking pool,
  // then destroy the context, which cancels every remaining task.
  io->stop();
  for (auto& worker : workers) worker.join();
  korvid::shut_down_blocking_pool();
  signals.reset();  // before its io_context goes
  io.reset();
  korvid::log::flush();
  std::fflush(stdout);
  return 0;
}
