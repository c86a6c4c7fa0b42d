// runtime.cpp: the process-wide random source, the monotonic clock, sleeping to a deadline, the error channel.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime/internal.h"

void lv::report_error(const char *message) {
    std::fflush(stdout);
    std::fwrite(message, 1, std::strlen(message), stderr);
}

extern "C" {

double get_normalized_rand(void) { return lv::normalized_rand(); }

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
