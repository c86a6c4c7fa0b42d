// runtime/internal.h: the bottom layer: the draws, the error channel and the recurring constants.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "lumivane/lumivane.h"

namespace lv {

inline constexpr double kPhi = 1.618033988749895;
inline constexpr double kTurn = 6.283185307179586;
inline constexpr double kPi = 3.141592653589793;

// Writes a fixed message to standard error; standard output is flushed first
// so that a combined log keeps the order in which things happened.
void report_error(const char *message);

// glibc's rand(): the additive feedback generator of 31 words, r[i] =
// r[i-31] + r[i-3] mod 2^32, each output r[i] >> 1, seeded by 16807 x r mod
// (2^31 - 1) and with its first 310 outputs discarded. The run draws from a
// private copy: the same values as rand(), without its lock and its call.
struct AdditiveDraws {
    static constexpr int kDegree = 31;
    static constexpr int kSeparation = 3;
    uint32_t r[kDegree];
    int front;  // r[i-3]'s place, where the sum is written
    int rear;   // r[i-31]'s place
    void seed(unsigned seed);
    int next() {
        const uint32_t v = r[front] += r[rear];
        front = front == kDegree - 1 ? 0 : front + 1;
        rear = rear == kDegree - 1 ? 0 : rear + 1;
        return static_cast<int>(v >> 1);
    }
};

// The run's private source on the run's own thread; null everywhere else, so
// that every other caller draws from rand() and a host's srand decides them.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local AdditiveDraws *run_draws;

// One value of the process-wide generator's sequence.
inline int draw() {
    AdditiveDraws *d = run_draws;
    return d != nullptr ? d->next() : std::rand();
}

// While it lives, the calling thread's draws come from a private copy of the
// generator that srand(seed) starts, provided that copy gives rand()'s values
// (checked against rand() first; the process generator is seeded with `seed`
// again after the check). When it goes, the process generator is left where
// rand() alone would have left it, where the C library allows.
class RunDraws {
  public:
    explicit RunDraws(unsigned seed, bool allow_private = true);
    ~RunDraws();
    RunDraws(const RunDraws &) = delete;
    RunDraws &operator=(const RunDraws &) = delete;
    bool is_private() const { return run_draws == &state_; }

  private:
    AdditiveDraws state_{};
};

// get_normalized_rand, inlined where draws are hot.
inline double normalized_rand() { return static_cast<double>(draw()) / 2147483647.0; }

}  // namespace lv
