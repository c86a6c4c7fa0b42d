// runtime/internal.h: the bottom layer: the draws, the error channel and the recurring constants.
#pragma once

#include <array>
#include <bit>
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
    int front;  // the oldest word's place, r[i-31]'s, where the sum is written
    int rear;   // r[i-3]'s place
    void seed(unsigned seed);
    void jump(uint64_t k);  // as k calls of next(), through a DrawJump built for k
    int next() {
        const uint32_t v = r[front] += r[rear];
        front = front == kDegree - 1 ? 0 : front + 1;
        rear = rear == kDegree - 1 ? 0 : rear + 1;
        return static_cast<int>(v >> 1);
    }
};

// k draws of the generator at once. The recurrence is linear over Z/2^32:
// reading the 31 words from the oldest (at front) to the newest, word m of the
// state k draws on is the dot product of the coefficients of x^(k+m) mod
// (x^31 - x^28 - 1) with them, and front and rear move on by k mod 31. The
// power takes about 2 log2(k) products of 31 coefficients to build, so a jump
// made often is built once (constexpr) and then costs 31 x 31 products.
class DrawJump {
  public:
    using Poly = std::array<uint32_t, AdditiveDraws::kDegree>;

    constexpr DrawJump() : DrawJump(0) {}
    constexpr explicit DrawJump(uint64_t k) : k_(k), power_{1} {
        for (int bit = std::bit_width(k) - 1; bit >= 0; --bit) {
            power_ = square(power_);
            if ((k >> bit) & 1) power_ = times_x(power_);
        }
    }
    void apply(AdditiveDraws &d) const;
    // The jump of twice the length: one squaring.
    constexpr DrawJump doubled() const {
        DrawJump twice = *this;
        twice.k_ = 2 * k_;
        twice.power_ = square(power_);
        return twice;
    }

    // p x x: x^31 goes back as x^28 + 1.
    static constexpr Poly times_x(const Poly &p) {
        Poly q{};
        for (int t = AdditiveDraws::kDegree - 1; t >= 1; --t) q[t] = p[t - 1];
        q[0] = p[AdditiveDraws::kDegree - 1];
        q[AdditiveDraws::kDegree - AdditiveDraws::kSeparation] += p[AdditiveDraws::kDegree - 1];
        return q;
    }
    static constexpr Poly square(const Poly &p) {
        constexpr int n = AdditiveDraws::kDegree;
        uint32_t product[2 * n - 1] = {};
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) product[i + j] += p[i] * p[j];
        // x^d = x^(d-3) + x^(d-31), from the top down.
        for (int d = 2 * n - 2; d >= n; --d) {
            product[d - AdditiveDraws::kSeparation] += product[d];
            product[d - n] += product[d];
        }
        Poly q{};
        for (int i = 0; i < n; ++i) q[i] = product[i];
        return q;
    }

  private:
    uint64_t k_;
    Poly power_;  // x^k mod (x^31 - x^28 - 1)
};

// The run's private source on the run's own thread; null everywhere else, so
// that every other caller draws from rand() and a host's srand decides them.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local AdditiveDraws *run_draws;

// One value of the process-wide generator's sequence.
inline int draw() {
    AdditiveDraws *d = run_draws;
    return d != nullptr ? d->next() : std::rand();
}

// While it lives, the calling thread draws from `d`: a lazily filled
// position takes its values from its own place in the sequence.
class DrawsFrom {
  public:
    explicit DrawsFrom(AdditiveDraws &d) : saved_(run_draws) { run_draws = &d; }
    ~DrawsFrom() { run_draws = saved_; }
    DrawsFrom(const DrawsFrom &) = delete;
    DrawsFrom &operator=(const DrawsFrom &) = delete;

  private:
    AdditiveDraws *saved_;
};

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
