#include "korvid/error_text.hpp"

#include <cstring>

#include <fmt/format.h>

namespace korvid {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", msg, errnum);
}

std::string error_text(const std::error_code& ec) {
  if (ec.category() == std::system_category() || ec.category() == std::generic_category())
    return os_error_text(ec.value());
  return ec.message();
}

}  // namespace korvid
