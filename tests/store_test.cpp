#include "store/pair_table.h"
#include "store/pair_writer.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

TEST(Smoke, Runs) { EXPECT_TRUE(true); }
