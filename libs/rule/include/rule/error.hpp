#pragma once
// RuleError: the one error type of the rules library (reading rule files,
// the engine, commands). Each kind prints a fixed text; see text().

#include <optional>
#include <string>

#include <boost/assert/source_location.hpp>
#include <boost/system/result.hpp>

namespace rule {

// 1-based line and column (columns count characters) in a rule file.
struct Position {
  std::size_t line = 1;
  std::size_t column = 1;
  bool operator==(const Position&) const = default;
};

class RuleError {
 public:
  enum class Kind { Io, Parse, PropertyNotFound, InvalidTemplate, Regex, CommandFailed };

  RuleError() = default;  // result<T, E> needs it; never observed

  // An operating-system error: prints "{message} (os error {n})".
  static RuleError io(int errnum);
  // An I/O failure that has only a kind, printed in lower-case words
  // ("invalid data" for a rule file that is not UTF-8).
  static RuleError io_kind(std::string kind_text);
  static RuleError parse(Position start, std::optional<Position> end, std::string description);
  static RuleError property_not_found(std::string name);
  static RuleError invalid_template();
  static RuleError regex(std::string library_message);
  static RuleError command_failed(std::string command, std::string message);

  Kind kind() const { return kind_; }
  // The printed form, e.g. `Property "X" not found` or `3:7: unexpected ...`.
  std::string text() const;

  // Parse errors only.
  const Position& start() const { return start_; }
  const std::optional<Position>& end() const { return end_; }
  // The description of a parse error, the name of PropertyNotFound, the
  // message of Regex/CommandFailed/Io.
  const std::string& detail() const { return detail_; }
  const std::string& command() const { return command_; }

 private:
  RuleError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_ = Kind::Io;
  std::string detail_;
  std::string command_;
  Position start_;
  std::optional<Position> end_;
};

template <typename T>
using Result = boost::system::result<T, RuleError>;

// Lets Result<T>::value() throw; korvid code checks results instead.
[[noreturn]] void throw_exception_from_error(const RuleError& e, const boost::source_location& loc);

}  // namespace rule
