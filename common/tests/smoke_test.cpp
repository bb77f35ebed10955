#include <gtest/gtest.h>

#include "common/md5.h"

TEST(Smoke, Md5) { EXPECT_EQ(MD5("abc").hexdigest(), "900150983cd24fb0d6963f7d28e17f72"); }
