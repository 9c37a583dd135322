#pragma once
// Running a rule's command text as a child process: the program and first
// arguments come from EngineSettings::shell, the command text is the last
// argument. The child inherits korvid's environment, working directory and
// standard streams (for output, standard output is a pipe instead), and no
// other descriptor.
//
// Both operations are coroutines for any multi-threaded Asio executor; they
// suspend while the child runs and never block a thread. The time limit
// covers output collection and the child's exit. A child still running when
// the limit is reached gets the settings' timeout_kill treatment and is then
// reaped in the background when it ends, so no zombie is left behind. The
// settings and the command text are copied when the operation is created.
//
// Every failure is RuleError::command_failed(command, message) with one of
// the messages: the OS error text of a start failure, "process exited with
// code {}" (-2147483648 when a signal ended the child), "Timed out",
// "wait() failure".

#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "rule/engine.hpp"
#include "rule/error.hpp"

namespace rule {

// Runs the command for its effect and waits for it.
boost::asio::awaitable<Result<void>> run_command(const EngineSettings& settings, std::string command);

// Runs the command and returns its standard output trimmed of leading and
// trailing Unicode white space. Output that is not UTF-8 is "wait() failure".
boost::asio::awaitable<Result<std::string>> run_command_for_output(const EngineSettings& settings,
                                                                   std::string command);

// Strips Unicode white space (the White_Space property) from both ends of
// UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace rule
