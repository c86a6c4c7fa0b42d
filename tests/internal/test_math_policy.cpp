// test_math_policy.cpp: which C library releases the system mode's kernels trust, and a host's refused request.
#include <gtest/gtest.h>

#include <cstdlib>

#include "math/internal.h"

namespace {

// The margin rests on the released sources of 2.36 through 2.42; a snapshot
// between releases, or anything not shaped like a release, takes the scalar path.
TEST(MathPolicy, ReleasesTheMarginCovers) {
    const struct {
        const char *version;
        bool covered;
    } cases[] = {
        {"2.36", true},        {"2.39", true},   {"2.42", true},     {"2.35", false},
        {"2.43", false},       {"2.42.9000", false}, {"2.36.1", false}, {"2.4", false},
        {"2.360", false},      {"3.36", false},  {"2.", false},      {"", false},
        {"2.36 ", false},      {"2.3a", false},  {"12.36", false},   {nullptr, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(lv::release_covered(c.version), c.covered) << (c.version ? c.version : "(null)");
}

// A host's library cannot refuse its caller: it takes auto and says so once
// on standard error, however many sweeps ask.
TEST(MathPolicy, AHostsBadRequestTakesAutoAndSaysSoOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("LUMIVANE_SINCOS", "avx3", 1);
            const char *path = lv::sweep_math(lv::MathMode::system).path;
            lv::sweep_math(lv::MathMode::system);
            std::exit(path != nullptr && lv::path_request_problem(lv::MathMode::system) != nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        "^lumivane: LUMIVANE_SINCOS=avx3 is not one of [a-z0-9, ]+; taking auto\n$");
}

}  // namespace
