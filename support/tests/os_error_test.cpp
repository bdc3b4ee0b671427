#include "os_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace support {
namespace {

TEST(OsErrorTest, RendersDescriptionThenNumber) {
  EXPECT_EQ(os_error_text(ENOENT), std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(os_error(EEXIST).message(), std::string(std::strerror(EEXIST)) + " (os error 17)");
}

}  // namespace
}  // namespace support
