// The run's private draw source: rand()'s values after srand, only on the
// run's thread and only while the run lasts, and the process generator left
// where rand() alone would have left it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>

#include "driver/internal.h"
#include "runtime/internal.h"

namespace {

constexpr unsigned kSeeds[] = {0u, 1u, 2u, 42u, 127773u, 1765094400u, 2147483647u,
                               2147483648u, 3000000000u, 4294967295u};

TEST(RunDraws, PrivateSourceGivesRandsValuesAfterSrand) {
    for (unsigned seed : kSeeds) {
        lv::AdditiveDraws d{};
        d.seed(seed);
        std::srand(seed);
        for (int i = 0; i < 20000; ++i) ASSERT_EQ(d.next(), std::rand()) << "seed " << seed << " value " << i;
    }
}

TEST(RunDraws, OnOnlyWhileTheRunLastsAndLeavesRandWhereItWouldBe) {
    for (unsigned seed : kSeeds) {
        EXPECT_EQ(lv::run_draws, nullptr);
        {
            const lv::RunDraws scope(seed);
            ASSERT_TRUE(scope.is_private());
            ASSERT_NE(lv::run_draws, nullptr);
            for (int i = 0; i < 1000; ++i) (void)lv::draw();
        }
        EXPECT_EQ(lv::run_draws, nullptr);
        const int after = std::rand();
        std::srand(seed);
        for (int i = 0; i < 1000; ++i) (void)std::rand();
        EXPECT_EQ(after, std::rand()) << "seed " << seed;
    }
    const lv::RunDraws plain(7u, false);
    EXPECT_FALSE(plain.is_private());
    EXPECT_EQ(lv::run_draws, nullptr);
}

TEST(RunDraws, OtherThreadsDrawFromRandWhileTheRunDraws) {
    const lv::RunDraws scope(5u);
    ASSERT_TRUE(scope.is_private());
    bool others_from_rand = true;
    std::thread other([&] {
        std::srand(99u);
        int seen[1000];
        for (int &v : seen) v = lv::draw();
        std::srand(99u);
        for (int v : seen) others_from_rand = others_from_rand && v == std::rand();
    });
    // Both threads draw at once; the run's values stay the seed's.
    lv::AdditiveDraws fresh{};
    fresh.seed(5u);
    bool own_private = true;
    for (int i = 0; i < 100000; ++i) own_private = own_private && lv::draw() == fresh.next();
    other.join();
    EXPECT_TRUE(others_from_rand);
    EXPECT_TRUE(own_private);
}

std::string run_to_text(unsigned seed, bool private_draws) {
    char path[] = "/tmp/lumivane_runXXXXXX";
    const int fd = mkstemp(path);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fd, 1);
    const int status = lv::run(seed, private_draws);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return status == 0 ? text : std::string("status ") + std::to_string(status);
}

// Two complete runs: heavy.
TEST(RunDrawsWholeRun, FallbackToRandPrintsTheSameBytes) {
    const std::string with_private = run_to_text(1765094400u, true);
    const int after_private = std::rand();
    const std::string with_rand = run_to_text(1765094400u, false);
    EXPECT_EQ(lv::run_draws, nullptr);
    EXPECT_EQ(after_private, std::rand());
    EXPECT_GT(with_private.size(), 1000u);
    EXPECT_EQ(with_private, with_rand);
}

}  // namespace
