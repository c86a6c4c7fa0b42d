// test_smoke.cpp: the library links and answers.
#include <gtest/gtest.h>

#include "support.h"

TEST(Smoke, DetRand) { EXPECT_EQ(det_rand(1), 1082269761u); }
