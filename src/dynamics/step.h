// step.h: the vector field, the RK4 stages and the renormalisation, shared by
// the exported step and the sweep's in-place step so that both do the same arithmetic.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "apa/internal.h"
#include "math/internal.h"

namespace lv {

// Adds a block of links' terms to the derivative's sums, in link order.
inline void add_links(const NeighborLink *links, int32_t count, const double *sn, const double *cs,
                      double &d_re, double &d_im, double &s) {
    for (int32_t j = 0; j < count; ++j) {
        d_re += links[j].coupling * cs[j];
        d_im += links[j].coupling * sn[j];
        s += sn[j];
    }
}

inline SlotDerivative derive(const SlotState &y, const NeighborLink *links, int32_t n,
                             double omega) {
    double d_re = -0.02 * y.amp_re;
    double d_im = -0.02 * y.amp_im;
    double s = 0.0;
    // The sines and cosines of a block of links are taken first and summed
    // after, in link order: the same sums, without each call waiting on the
    // additions of the one before.
    for (int32_t first = 0; first < n; first += 8) {
        const int32_t count = n - first < 8 ? n - first : 8;
        double sn[8], cs[8];
        for (int32_t j = 0; j < count; ++j)
            ::sincos(links[first + j].phase_delta - y.phase, &sn[j], &cs[j]);
        add_links(links + first, count, sn, cs, d_re, d_im, s);
    }
    return SlotDerivative{d_re, d_im, y.phase_vel, s + omega};
}

// y0 + (dt x k) x f, component by component: f = 0.5 for the half steps and
// 1.0 for the full step, where (dt x k) x 1.0 is dt x k exactly.
inline SlotState stage(const SlotState &y0, const SlotDerivative &k, double dt, double f) {
    return SlotState{y0.amp_re + (dt * k.d_amp_re) * f, y0.amp_im + (dt * k.d_amp_im) * f,
                     y0.phase + (dt * k.d_phase) * f, y0.phase_vel + (dt * k.d_phase_vel) * f};
}

// Where each stage's successor is evaluated. The fourth stage has none; its
// entry only lets the stage loop run without a branch, and the state it
// forms is dropped.
inline constexpr double kStageFactor[4] = {0.5, 0.5, 1.0, 1.0};

inline double combine(double y, double k1, double k2, double k3, double k4, double h) {
    return y + (((k1 + 2.0 * k2) + 2.0 * k3) + k4) * h;
}

// The step's result from its four stages, component by component.
inline SlotState combine(const SlotState &y0, const SlotDerivative &k1, const SlotDerivative &k2,
                         const SlotDerivative &k3, const SlotDerivative &k4, double dt) {
    const double h = dt / 6.0;
    return SlotState{
        combine(y0.amp_re, k1.d_amp_re, k2.d_amp_re, k3.d_amp_re, k4.d_amp_re, h),
        combine(y0.amp_im, k1.d_amp_im, k2.d_amp_im, k3.d_amp_im, k4.d_amp_im, h),
        combine(y0.phase, k1.d_phase, k2.d_phase, k3.d_phase, k4.d_phase, h),
        combine(y0.phase_vel, k1.d_phase_vel, k2.d_phase_vel, k3.d_phase_vel, k4.d_phase_vel, h)};
}

// A stage's derivative from its eight links' sines and cosines, as derive forms it.
inline SlotDerivative derive8(const SlotState &y, const NeighborLink *links, double omega,
                              const double *sn, const double *cs) {
    double d_re = -0.02 * y.amp_re;
    double d_im = -0.02 * y.amp_im;
    double s = 0.0;
    add_links(links, 8, sn, cs, d_re, d_im, s);
    return SlotDerivative{d_re, d_im, y.phase_vel, s + omega};
}

// The stages of a slot with eight links (the sweep's). The second stage's
// phase, y0.phase + (dt x y0.phase_vel) x 0.5, needs nothing of the first
// stage's sums, so the first two stages' blocks of angles are known at once
// and both blocks are in flight together; the third and fourth follow one by
// one. Every value is the one the stage loop below forms.
inline SlotState rk4_integrate8(const SlotState &y0, const NeighborLink *links, double omega,
                                double dt, SinCos8 sincos8) {
    double x[16], sn[16], cs[16];
    const double phase2 = y0.phase + (dt * y0.phase_vel) * 0.5;
    for (int32_t j = 0; j < 8; ++j) {
        x[j] = links[j].phase_delta - y0.phase;
        x[8 + j] = links[j].phase_delta - phase2;
    }
    sincos8(x, sn, cs);
    sincos8(x + 8, sn + 8, cs + 8);
    const SlotDerivative k1 = derive8(y0, links, omega, sn, cs);
    const SlotState y2 = stage(y0, k1, dt, 0.5);  // y2.phase is phase2
    const SlotDerivative k2 = derive8(y2, links, omega, sn + 8, cs + 8);
    const SlotState y3 = stage(y0, k2, dt, 0.5);
    for (int32_t j = 0; j < 8; ++j) x[j] = links[j].phase_delta - y3.phase;
    sincos8(x, sn, cs);
    const SlotDerivative k3 = derive8(y3, links, omega, sn, cs);
    const SlotState y4 = stage(y0, k3, dt, 1.0);
    for (int32_t j = 0; j < 8; ++j) x[j] = links[j].phase_delta - y4.phase;
    sincos8(x, sn, cs);
    const SlotDerivative k4 = derive8(y4, links, omega, sn, cs);
    return combine(y0, k1, k2, k3, k4, dt);
}

// `sincos8` gives a block's sines and cosines: the exported step passes
// sincos8_scalar, the sweep its mode's block function.
// Only a slot with eight links (every slot the sweep steps) uses it.
inline SlotState rk4_integrate(const SlotState &y0, const NeighborLink *links, int32_t n,
                               double omega, double dt, SinCos8 sincos8) {
    if (n == 8) return rk4_integrate8(y0, links, omega, dt, sincos8);
    // The four stages run through one copy of the derivative's code, with no
    // branch between them. A stage's angles differ from the first stage's by
    // tiny amounts, so sincos takes the same internal paths four times; with
    // one code path the branch predictor sees the same history each time and
    // carries what it met at the first stage into the other three, which it
    // cannot do when each stage reaches sincos along code of its own.
    SlotDerivative k[4];
    SlotState y = y0;
#pragma GCC unroll 1
    for (int i = 0; i < 4; ++i) {
        k[i] = derive(y, links, n, omega);
        y = stage(y0, k[i], dt, kStageFactor[i]);
    }
    const SlotDerivative &k1 = k[0], &k2 = k[1], &k3 = k[2], &k4 = k[3];
    return combine(y0, k1, k2, k3, k4, dt);
}

struct Amplitude {
    double re;
    double im;
};

// The step's functions: the block of sines and cosines, and the decay's
// exponential, kept for the steps seen last: the adapted step moves by a
// factor of phi up or down, or stays, so a few values recur.
struct StepMath {
    SinCos8 sincos8;
    double (*exp)(double);
    static constexpr int kKept = 16;
    static constexpr std::array<uint64_t, kKept> kNone = [] {
        std::array<uint64_t, kKept> a{};
        a.fill(~uint64_t{0});  // a NaN's bits, which no step has
        return a;
    }();
    std::array<uint64_t, kKept> kept_dt = kNone;
    std::array<double, kKept> kept_decay{};
    double decay(double dt) {
        const uint64_t b = std::bit_cast<uint64_t>(dt);
        const auto i = static_cast<int>((b ^ b >> 7 ^ b >> 29 ^ b >> 52) & (kKept - 1));
        if (kept_dt[i] != b) {
            kept_decay[i] = exp(-0.05 * dt);
            kept_dt[i] = b;
        }
        return kept_decay[i];
    }
};

// Decay, cap and jitter of the modulus; the draw happens on every step.
inline Amplitude renormalise(const SlotState &y1, double dt, StepMath &m) {
    const double r = std::sqrt(y1.amp_re * y1.amp_re + y1.amp_im * y1.amp_im);
    const double e = m.decay(dt);
    const double u = normalized_rand();
    if (r > 1e-10) {
        const double len = std::min(r * e, 1000000.0) + (2.0 * u - 1.0) * 0.01;
        return Amplitude{(y1.amp_re / r) * len, (y1.amp_im / r) * len};
    }
    return Amplitude{y1.amp_re, y1.amp_im};
}

// fmod by one turn, lifted into [0, turn] when negative.
inline double wrap_phase(double phase) {
    double phi = std::fmod(phase, kTurn);
    if (phi < 0.0) phi += kTurn;
    return phi;
}

// The same result without fmod where the remainder is exact: |phase| < turn is
// its own remainder, and in [turn, 2 turn) the subtraction is exact (Sterbenz).
inline double wrap_phase_fast(double phase) {
    if (phase > -kTurn && phase < kTurn) return phase < 0.0 ? phase + kTurn : phase;
    if (phase >= kTurn && phase < 2.0 * kTurn) return phase - kTurn;
    return wrap_phase(phase);
}

// One RK4 step that writes the new amplitude into the slot's own buffers when
// it can; same result and draws as rk4_step under the library's functions.
// `a_own` is ap_to_double(slot), `m` the sweep's functions.
void step_in_place(Slot *slot, const NeighborLink *links, double a_own, double dt, StepMath &m);

}  // namespace lv
