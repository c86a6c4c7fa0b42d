// The registry of chunk-wide blocks on its own: a thread answers from its copy
// while the registry is small and under the shared lock once it is not, and
// both must give the same answers. Ranges here are stand-ins inside a static
// array; a look-up answers where the range holding the address ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "storage/registry.h"

namespace {

// Well past the count a thread keeps a copy of.
constexpr int kRanges = 40;
constexpr std::size_t kStride = 256;  // ranges of kStride / 2 bytes with gaps between
alignas(64) unsigned char pool[kRanges * kStride];

unsigned char *start(int k) { return pool + static_cast<std::size_t>(k) * kStride; }
void *end_of(int k) { return start(k) + kStride / 2; }

void add(int k) { ASSERT_TRUE(lv::arena_register(start(k), kStride / 2)); }

// Every probe of every range answers its end when `live[k]`, and null otherwise,
// as does every gap.
void expect_answers(const std::vector<bool> &live) {
    for (int k = 0; k < kRanges; ++k) {
        void *want = live[k] ? end_of(k) : nullptr;
        EXPECT_EQ(lv::arena_find(start(k)), want) << "first byte of range " << k;
        EXPECT_EQ(lv::arena_find(start(k) + kStride / 4), want) << "middle of range " << k;
        EXPECT_EQ(lv::arena_find(start(k) + kStride / 2 - 1), want) << "last byte of range " << k;
        EXPECT_EQ(lv::arena_find(start(k) + kStride / 2), nullptr) << "just past range " << k;
        EXPECT_EQ(lv::arena_find(start(k) + kStride - 1), nullptr) << "gap after range " << k;
    }
}

TEST(Registry, AnswersTheSameBelowAndAboveTheCopiedCount) {
    std::vector<bool> live(kRanges, false);
    expect_answers(live);
    EXPECT_EQ(lv::arena_find(nullptr), nullptr);
    // Registered out of address order, so that inserts land in the middle.
    std::vector<int> order(kRanges);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937{7});
    for (int k : order) {
        add(k);
        live[k] = true;
        expect_answers(live);
    }
    // Back down through the copied count, again out of order.
    std::shuffle(order.begin(), order.end(), std::mt19937{11});
    for (int k : order) {
        lv::arena_unregister(start(k));
        live[k] = false;
        expect_answers(live);
    }
}

TEST(Registry, UnregisteringAnUnknownStartChangesNothing) {
    for (int k = 0; k < 20; ++k) add(k);
    lv::arena_unregister(start(3) + 1);  // inside a range, not its start
    lv::arena_unregister(start(30));     // never registered
    std::vector<bool> live(kRanges, false);
    std::fill(live.begin(), live.begin() + 20, true);
    expect_answers(live);
    for (int k = 0; k < 20; ++k) lv::arena_unregister(start(k));
}

// A thread whose copy was made while the registry was small sees later changes
// by others, on either side of the copied count.
TEST(RegistryConcurrent, AThreadsCopyFollowsOtherThreadsChanges) {
    for (int k = 0; k < 8; ++k) add(k);
    std::atomic<int> stage{0};
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        const auto check = [&](int registered) {
            for (int k = 0; k < kRanges; ++k)
                if (lv::arena_find(start(k) + 1) != (k < registered ? end_of(k) : nullptr))
                    failed = true;
        };
        check(8);  // makes this thread's copy
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
        check(kRanges);
        stage = 3;
        while (stage.load() != 4) std::this_thread::yield();
        check(8);
    });
    while (stage.load() != 1) std::this_thread::yield();
    for (int k = 8; k < kRanges; ++k) add(k);
    stage = 2;
    while (stage.load() != 3) std::this_thread::yield();
    for (int k = 8; k < kRanges; ++k) lv::arena_unregister(start(k));
    stage = 4;
    reader.join();
    EXPECT_FALSE(failed);
    for (int k = 0; k < 8; ++k) lv::arena_unregister(start(k));
}

// Look-ups of ranges that stay registered go on answering right while other
// threads register and release theirs across the copied count.
TEST(RegistryConcurrent, StableRangesAnswerWhileOthersComeAndGo) {
    constexpr int kStable = 10;
    for (int k = 0; k < kStable; ++k) add(k);
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t)
        readers.emplace_back([&] {
            while (!stop.load())
                for (int k = 0; k < kStable; ++k)
                    if (lv::arena_find(start(k) + 5) != end_of(k)) failed = true;
        });
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([t] {
            // Each writer owns every other one of the remaining ranges.
            for (int round = 0; round < 200; ++round) {
                for (int k = kStable + t; k < kRanges; k += 2) add(k);
                for (int k = kStable + t; k < kRanges; k += 2) lv::arena_unregister(start(k));
            }
        });
    for (std::thread &w : writers) w.join();
    stop = true;
    for (std::thread &r : readers) r.join();
    EXPECT_FALSE(failed);
    std::vector<bool> live(kRanges, false);
    std::fill(live.begin(), live.begin() + kStable, true);
    expect_answers(live);
    for (int k = 0; k < kStable; ++k) lv::arena_unregister(start(k));
}

}  // namespace
