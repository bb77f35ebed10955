#include <gtest/gtest.h>

#include "platform/win32.h"

TEST(Smoke, LastError) {
    SetLastError(5);
    EXPECT_EQ(GetLastError(), 5u);
}
