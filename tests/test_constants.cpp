// test_constants.cpp: building the golden-ratio and pi constants.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support.h"

namespace {
const char kLine[] = "[Bootloader] High-precision constants (PHI, PI) initialized.\n";
}  // namespace

// Two fresh slots, then one inside each conversion: four initialisations.
TEST(ConstantsInit, MakesTwentyEightDraws) {
    testing::internal::CaptureStdout();
    for (unsigned seed : {1u, 12345u, 987654321u}) {
        const int n = lvtest::draws_made([] { init_apa_constants(); }, seed);
        EXPECT_EQ(n, 28) << "seed " << seed;
    }
    testing::internal::GetCapturedStdout();
}

TEST(ConstantsInit, PrintsExactlyOneLine) {
    srand(42u);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    init_apa_constants();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, kLine);
    EXPECT_EQ(err, "");
}

TEST(ConstantsInit, RepeatedCallsAreSafe) {
    srand(7u);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i) init_apa_constants();
    const std::string out = testing::internal::GetCapturedStdout();
    std::string want;
    for (int i = 0; i < 5; ++i) want += kLine;
    EXPECT_EQ(out, want);
    // The draws stay the same on a later call.
    testing::internal::CaptureStdout();
    EXPECT_EQ(lvtest::draws_made([] { init_apa_constants(); }, 99u), 28);
    testing::internal::GetCapturedStdout();
}
