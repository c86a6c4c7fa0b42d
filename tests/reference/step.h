// reference/step.h: one RK4 step of a slot computed plainly: the classic four
// stages of compute_derivatives, their combination, the renormalisation with
// its decay, cap and jitter, the phase wrap and the write-back of the real
// amplitude through a fresh conversion.
#pragma once

#include <algorithm>
#include <cmath>

#include "lumivane/lumivane.h"

namespace lvref {

// The classic four-stage step of the field, stage by stage as the step is
// defined, combined in the order ((k1 + 2 k2) + 2 k3) + k4.
inline SlotState integrate(const SlotState &y0, const NeighborLink *links, int n, double omega,
                           double dt) {
    auto half = [&](const SlotDerivative &k) {
        return SlotState{y0.amp_re + (dt * k.d_amp_re) * 0.5, y0.amp_im + (dt * k.d_amp_im) * 0.5,
                         y0.phase + (dt * k.d_phase) * 0.5,
                         y0.phase_vel + (dt * k.d_phase_vel) * 0.5};
    };
    const SlotDerivative k1 = compute_derivatives(y0, links, n, omega);
    const SlotDerivative k2 = compute_derivatives(half(k1), links, n, omega);
    const SlotDerivative k3 = compute_derivatives(half(k2), links, n, omega);
    const SlotDerivative k4 = compute_derivatives(
        SlotState{y0.amp_re + dt * k3.d_amp_re, y0.amp_im + dt * k3.d_amp_im,
                  y0.phase + dt * k3.d_phase, y0.phase_vel + dt * k3.d_phase_vel},
        links, n, omega);
    const double h = dt / 6.0;
    auto comb = [h](double y, double a, double b, double c, double d) {
        return y + (((a + 2.0 * b) + 2.0 * c) + d) * h;
    };
    return SlotState{comb(y0.amp_re, k1.d_amp_re, k2.d_amp_re, k3.d_amp_re, k4.d_amp_re),
                     comb(y0.amp_im, k1.d_amp_im, k2.d_amp_im, k3.d_amp_im, k4.d_amp_im),
                     comb(y0.phase, k1.d_phase, k2.d_phase, k3.d_phase, k4.d_phase),
                     comb(y0.phase_vel, k1.d_phase_vel, k2.d_phase_vel, k3.d_phase_vel,
                          k4.d_phase_vel)};
}

// The slot that rk4_step leaves from `before`, when the step's first draw
// (the jitter) scales to `u` and the generator then stands where the
// write-back's conversion draws. A heap record, or null when the conversion
// fails; the caller releases it with ap_free and free.
inline Slot *stepped(const Slot &before, const NeighborLink *links, int n, double dt, double u) {
    const SlotState y0{ap_to_double(&before), before.amp_im, before.phase, before.phase_vel};
    const SlotState y1 = integrate(y0, links, n, before.omega, dt);
    const double r = std::sqrt(y1.amp_re * y1.amp_re + y1.amp_im * y1.amp_im);
    const double e = std::exp(-0.05 * dt);
    double re = y1.amp_re, im = y1.amp_im;
    if (r > 1e-10) {
        const double len = std::min(r * e, 1000000.0) + (2.0 * u - 1.0) * 0.01;
        re = (y1.amp_re / r) * len;
        im = (y1.amp_im / r) * len;
    }
    double phi = std::fmod(y1.phase, 6.283185307179586);
    if (phi < 0.0) phi += 6.283185307179586;
    Slot *out = ap_from_double(before.mantissa_bits, before.exponent_bits, re);
    if (out == nullptr) return nullptr;
    out->amp_im = im;
    out->phase = phi;
    out->phase_vel = y1.phase_vel;
    return out;
}

}  // namespace lvref
