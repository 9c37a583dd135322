#include "rule/error.hpp"

#include <stdexcept>

#include <boost/throw_exception.hpp>
#include <fmt/format.h>

#include "korvid/error_text.hpp"

namespace rule {

RuleError RuleError::io(int errnum) { return RuleError(Kind::Io, korvid::os_error_text(errnum)); }

RuleError RuleError::io_kind(std::string kind_text) { return RuleError(Kind::Io, std::move(kind_text)); }

RuleError RuleError::parse(Position start, std::optional<Position> end, std::string description) {
  RuleError e(Kind::Parse, std::move(description));
  e.start_ = start;
  e.end_ = end;
  return e;
}

RuleError RuleError::property_not_found(std::string name) {
  return RuleError(Kind::PropertyNotFound, std::move(name));
}

RuleError RuleError::invalid_template() { return RuleError(Kind::InvalidTemplate, {}); }

RuleError RuleError::regex(std::string library_message) {
  return RuleError(Kind::Regex, std::move(library_message));
}

RuleError RuleError::command_failed(std::string command, std::string message) {
  RuleError e(Kind::CommandFailed, std::move(message));
  e.command_ = std::move(command);
  return e;
}

std::string RuleError::text() const {
  switch (kind_) {
    case Kind::Io:
      return detail_;
    case Kind::Parse:
      if (end_)
        return fmt::format("{}:{}-{}:{}: {}", start_.line, start_.column, end_->line, end_->column, detail_);
      return fmt::format("{}:{}: {}", start_.line, start_.column, detail_);
    case Kind::PropertyNotFound:
      return fmt::format("Property \"{}\" not found", detail_);
    case Kind::InvalidTemplate:
      return "Invalid format string template";
    case Kind::Regex:
      return fmt::format("Regex error: {}", detail_);
    case Kind::CommandFailed:
      return fmt::format("Failed to execute command \"{}\": {}", command_, detail_);
  }
  return detail_;
}

void throw_exception_from_error(const RuleError& e, const boost::source_location& loc) {
  boost::throw_exception(std::runtime_error(e.text()), loc);
}

}  // namespace rule
