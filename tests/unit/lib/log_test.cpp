#include <gtest/gtest.h>
#include "zeb/log.h"
TEST(Log, NullLoggerIsShared) { EXPECT_EQ(zeb::get_log_safe(nullptr), zeb::get_log_safe("")); }
