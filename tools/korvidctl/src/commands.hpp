#pragma once
// Running korvidctl's commands: each talks to the daemon over one connection
// (verify needs none) and returns the process's exit status; results go to
// `out`, diagnostics to `err`. One thread.

#include <ostream>

#include "options.hpp"

namespace korvidctl {

int run_command(const Command& command, std::ostream& out, std::ostream& err);

// The offline check of rule files (the verify command).
int verify_rule_files(const VerifyCommand& command, std::ostream& out, std::ostream& err);

}  // namespace korvidctl
