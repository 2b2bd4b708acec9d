#include <gtest/gtest.h>
#include "plugin/spi.h"
TEST(Smoke, RecordSize) { EXPECT_EQ(428u, sizeof(fileInfo)); }
