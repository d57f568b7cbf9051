#include <gtest/gtest.h>
#include "../src/portystr.cpp"
TEST(Str, Empty) { Str s = {}; assignStr(&s, ""); EXPECT_EQ(1u, s.capacity); freeStr(&s); }
