#include "support/errno_name.h"

#include <gtest/gtest.h>

#include <cstring>

// The host's glibc (2.32 or newer) is the reference: every value from 1 to well past
// Linux's last errno gets the same name, or none.
TEST(ErrnoName, AgreesWithGlibc) {
  for (int code = 1; code < 300; ++code) {
    const char* expected = strerrorname_np(code);
    const char* name = errno_name(code);
    EXPECT_STREQ(name, expected) << "errno " << code;
  }
}
