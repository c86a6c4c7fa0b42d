// math/internal.h: what the maths module gives the sweep: a block of eight sines and cosines, and exponentials, under the process's math mode.
#pragma once

#include <cstdint>

#include "math/sincos8.h"

namespace lv {

// system: the maths library's sincos and exp, bit for bit (the run as the
// program defines it). correct: correctly rounded sin, cos and exp, the same
// on every machine and maths library.
enum class MathMode : int32_t { system = 0, correct = 1 };

// The process's mode, which lattice_set_math_mode sets; system until then.
MathMode math_mode();
// False, and the mode unchanged, for an unknown mode or one this build cannot
// serve (mode_problem says why).
bool set_math_mode(int32_t mode);
// Why this build cannot serve `mode`, or null when it can: the correctly
// rounded functions refuse a build that contracted their arithmetic.
const char *mode_problem(MathMode mode);
const char *math_mode_name(MathMode mode);

// What the sweep computes with under a mode: chosen once per process and mode.
struct SweepMath {
    SinCos8 sincos8;
    Exp8 exp8;  // eight exponentials, each as `exp` gives it
    double (*exp)(double);
    // The path the sines, cosines and exponentials take, and why:
    // "avx2 (glibc 2.36)", "scalar (the CPU lacks AVX2 and FMA)".
    const char *path;
};
const SweepMath &sweep_math(MathMode mode);

// The maths library's exp, as the system mode and the exported single-slot
// operations take it.
double library_exp(double x);

// Whether a C library's version string (gnu_get_libc_version) names a release
// whose sin, cos and exp the system mode's margins cover: exactly "2.36"
// through "2.42". Development snapshots ("2.42.9000") are not releases.
bool release_covered(const char *version);

// LUMIVANE_SINCOS=auto, scalar or a vector path's name (vector_paths()) asks
// for the path of the sines, cosines and exponentials. Empty when the
// request (or its absence) can be honoured under `mode`; otherwise one line
// saying why not, and the library then takes auto (and says so once on
// standard error).
const char *path_request_problem(MathMode mode);
// The program lumivane reads no environment: before its run it turns the
// request off, and every path is auto (the bytes are the same on every path).
void ignore_path_request();

}  // namespace lv
