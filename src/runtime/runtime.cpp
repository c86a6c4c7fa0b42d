// runtime.cpp: the process-wide random source, the monotonic clock, sleeping to a deadline, the error channel.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime/internal.h"
#include "runtime/fpenv.h"

void lv::report_error(const char *message) {
    std::fflush(stdout);
    std::fwrite(message, 1, std::strlen(message), stderr);
}

constinit thread_local lv::AdditiveDraws *lv::run_draws = nullptr;

namespace {

// How many of rand()'s values the private source must reproduce before the
// run trusts it.
constexpr int kChecked = 4096;

// glibc keeps the generator's type and rear position in the word before its
// table: rear x 5 + type, where type 3 is the generator of 31 words.
constexpr int32_t kTypes = 5;
constexpr int32_t kType3 = 3;

// Leaves the process generator with the private source's state, so that
// rand() goes on where it would have been had the run drawn from it: setstate
// hands over the process's own table, which takes the state in the layout
// setstate reads. Another C library leaves the process generator as it was.
void leave_process_generator(const lv::AdditiveDraws &d) {
#ifdef __GLIBC__
    int32_t mine[1 + lv::AdditiveDraws::kDegree];
    mine[0] = d.rear * kTypes + kType3;
    std::memcpy(mine + 1, d.r, sizeof d.r);
    char *previous = setstate(reinterpret_cast<char *>(mine));
    if (previous == nullptr) return;
    auto *own = reinterpret_cast<int32_t *>(previous);
    if (own[0] % kTypes == kType3) std::memcpy(own, mine, sizeof mine);
    setstate(previous);
#else
    (void)d;
#endif
}

}  // namespace

void lv::AdditiveDraws::seed(unsigned s) {
    if (s == 0) s = 1;
    int32_t word = static_cast<int32_t>(s);
    r[0] = static_cast<uint32_t>(word);
    for (int i = 1; i < kDegree; ++i) {
        // 16807 x word mod (2^31 - 1), without overflow (Schrage).
        const int64_t hi = word / 127773;
        const int64_t lo = word % 127773;
        word = static_cast<int32_t>(16807 * lo - 2836 * hi);
        if (word < 0) word += 2147483647;
        r[i] = static_cast<uint32_t>(word);
    }
    front = kSeparation;
    rear = 0;
    for (int i = 0; i < 10 * kDegree; ++i) (void)next();
}

void lv::DrawJump::apply(AdditiveDraws &d) const {
    constexpr int n = AdditiveDraws::kDegree;
    uint32_t oldest_first[n];
    for (int t = 0; t < n; ++t) oldest_first[t] = d.r[(d.front + t) % n];
    uint32_t after[n];
    Poly row = power_;  // x^(k+m)
    for (int m = 0; m < n; ++m) {
        uint32_t sum = 0;
        for (int t = 0; t < n; ++t) sum += row[t] * oldest_first[t];
        after[m] = sum;
        row = times_x(row);
    }
    const auto moved = static_cast<int>(k_ % n);
    d.front = (d.front + moved) % n;
    d.rear = (d.rear + moved) % n;
    for (int m = 0; m < n; ++m) d.r[(d.front + m) % n] = after[m];
}

void lv::AdditiveDraws::jump(uint64_t k) { DrawJump(k).apply(*this); }

lv::RunDraws::RunDraws(unsigned seed, bool allow_private) {
    std::srand(seed);
    if (!allow_private) return;
    state_.seed(seed);
    AdditiveDraws probe = state_;
    bool same = true;
    for (int i = 0; i < kChecked && same; ++i) same = probe.next() == std::rand();
    // The check leaves no trace: the process generator starts again from the seed.
    std::srand(seed);
    if (same) run_draws = &state_;
}

lv::RunDraws::~RunDraws() {
    if (!is_private()) return;
    run_draws = nullptr;
    leave_process_generator(state_);
}

extern "C" {

double get_normalized_rand(void) {
    const lv::DefaultFloatEnv float_env;
    return lv::normalized_rand();
}

uint64_t det_rand(uint64_t x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

uint64_t get_rtc_ns(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

int rtc_sleep_until(uint64_t deadline_ns) {
    const uint64_t now = get_rtc_ns();
    if (static_cast<int64_t>(now) >= static_cast<int64_t>(deadline_ns)) return 0;
    const uint64_t remaining = deadline_ns - now;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(remaining / 1000000000u);
    ts.tv_nsec = static_cast<long>(remaining % 1000000000u);
    return nanosleep(&ts, nullptr);
}

}  // extern "C"
