// The run's private draw source: rand()'s values after srand, only on the
// run's thread and only while the run lasts, and the process generator left
// where rand() alone would have left it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>
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

// Jump lengths around the ring of 31 words and the chunk's, plus random ones.
std::vector<uint64_t> jump_lengths() {
    std::vector<uint64_t> k = {0, 1, 30, 31, 32, 3584, 7340032};
    std::mt19937_64 pick(31);
    for (int i = 0; i < 4; ++i) k.push_back(pick() % 10000000);
    return k;
}

bool same_state(const lv::AdditiveDraws &a, const lv::AdditiveDraws &b) {
    return a.front == b.front && a.rear == b.rear && std::memcmp(a.r, b.r, sizeof a.r) == 0;
}

TEST(DrawJump, LandsWhereSteppingDoes) {
    for (unsigned seed : {1u, 1765094400u}) {
        lv::AdditiveDraws stepped{};
        stepped.seed(seed);
        uint64_t done = 0;
        for (uint64_t k : jump_lengths()) {
            if (k < done) {
                stepped.seed(seed);
                done = 0;
            }
            for (; done < k; ++done) (void)stepped.next();
            lv::AdditiveDraws jumped{};
            jumped.seed(seed);
            jumped.jump(k);
            EXPECT_TRUE(same_state(jumped, stepped)) << "seed " << seed << " k " << k;
            // A jump built once and applied twice is the jump of twice the length.
            lv::AdditiveDraws twice{};
            twice.seed(seed);
            const lv::DrawJump half(k / 2);
            half.apply(twice);
            half.apply(twice);
            if (k % 2 == 1) twice.jump(1);
            EXPECT_TRUE(same_state(twice, stepped)) << "seed " << seed << " k " << k;
        }
    }
}

#ifdef __GLIBC__
// glibc's own generator, stepped by random() in a table of our own, has the
// jumped state: the table's first word holds rear x 5 + 3 once setstate moves
// away from it.
TEST(DrawJump, LandsOnGlibcsOwnState) {
    for (uint64_t k : jump_lengths()) {
        int32_t table[1 + lv::AdditiveDraws::kDegree] = {};
        char *previous = initstate(1765094400u, reinterpret_cast<char *>(table), sizeof table);
        ASSERT_NE(previous, nullptr);
        for (uint64_t i = 0; i < k; ++i) (void)random();
        setstate(previous);
        lv::AdditiveDraws jumped{};
        jumped.seed(1765094400u);
        jumped.jump(k);
        EXPECT_EQ(table[0], jumped.rear * 5 + 3) << "k " << k;
        EXPECT_EQ(std::memcmp(table + 1, jumped.r, sizeof jumped.r), 0) << "k " << k;
    }
}
#endif

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
