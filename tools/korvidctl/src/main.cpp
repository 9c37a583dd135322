// korvidctl: the command-line client of the korvid device manager.

#include <iostream>
#include <string_view>
#include <vector>

#include "commands.hpp"
#include "options.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto parsed = korvidctl::parse_arguments(arguments);
  if (const auto* help = std::get_if<korvidctl::HelpRequest>(&parsed)) {
    std::cout << help->text << std::flush;
    return korvidctl::kSuccess;
  }
  if (const auto* usage = std::get_if<korvidctl::UsageError>(&parsed)) {
    std::cerr << usage->text << std::flush;
    return korvidctl::kUsage;
  }
  return korvidctl::run_command(std::get<korvidctl::Command>(parsed), std::cout, std::cerr);
}
