#pragma once
// The one printed form of errors across korvid: an operating-system error
// prints as "{message} (os error {n})"; other errors print their own text.

#include <string>
#include <system_error>

namespace korvid {

// "{strerror(errnum)} (os error {errnum})".
std::string os_error_text(int errnum);

// System-category codes print as os_error_text; any other category prints
// its message.
std::string error_text(const std::error_code& ec);

}  // namespace korvid
