#pragma once
// The one report of a task that failed unexpectedly: korvid's tasks run
// unobserved, so an escaped exception ends its task alone and is printed on
// stderr here instead of being lost.

#include <exception>
#include <string_view>

namespace korvid {

// Prints "korvid: {task} task failed: {what}"; does nothing without an error.
void report_task_failure(std::string_view task, std::exception_ptr error);

}  // namespace korvid
