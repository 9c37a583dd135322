#include "korvid/error_text.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace {

TEST(ErrorText, OsErrorsCarryTheirNumber) {
  EXPECT_EQ(korvid::os_error_text(EISDIR), "Is a directory (os error 21)");
  EXPECT_EQ(korvid::error_text(std::error_code(EADDRINUSE, std::system_category())),
            "Address already in use (os error 98)");
}

}  // namespace
