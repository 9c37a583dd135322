#include "korvid/task_failure.hpp"

#include <cstdio>

namespace korvid {

void report_task_failure(std::string_view task, std::exception_ptr error) {
  if (!error) return;
  const int length = static_cast<int>(task.size());
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvid: %.*s task failed: %s\n", length, task.data(), e.what());
  } catch (...) {
    std::fprintf(stderr, "korvid: %.*s task failed\n", length, task.data());
  }
}

}  // namespace korvid
