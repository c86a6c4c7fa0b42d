// sincos8_kernels.cpp: the vector kernels (sines, cosines and exponentials) this build holds, the table of paths, which of them the CPU can run, and their blocks with the undecided lanes settled.
#include <cstring>

#include "math/sincos8.h"
#include "math/sincos8_probe.h"

// Each processor's kernels exist only in a build for that processor; every
// other build runs the scalar blocks.
#if LUMIVANE_VECTOR_MATH && defined(__x86_64__)
#define LV_KERNELS_X86 1
#elif LUMIVANE_VECTOR_MATH && defined(__aarch64__)
#define LV_KERNELS_NEON 1
#endif

namespace lv {

#if defined(LV_KERNELS_X86)
// In the files built for their instruction sets: every lane's rounded
// candidate, and a set bit for each result left undecided.
uint32_t sincos8_avx2_system(const double *x, double *s, double *c);
uint32_t sincos8_avx2_correct(const double *x, double *s, double *c);
uint32_t sincos8_avx512_system(const double *x, double *s, double *c);
uint32_t sincos8_avx512_correct(const double *x, double *s, double *c);
uint32_t sincos8_avx2_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                          bool correct);
uint32_t sincos8_avx512_raw(const double *x, double *s_hi, double *s_lo, double *c_hi,
                            double *c_lo, bool correct);
bool sincos8_avx2_as_written();
uint32_t exp8_avx2_system(const double *x, double *y);
uint32_t exp8_avx2_correct(const double *x, double *y);
uint32_t exp8_avx512_system(const double *x, double *y);
uint32_t exp8_avx512_correct(const double *x, double *y);
bool sincos8_avx512_as_written();
void exp8_avx2_pairs(const double *x, double *hi, double *lo, double *scale);
void exp8_avx512_pairs(const double *x, double *hi, double *lo, double *scale);
#endif
#if defined(LV_KERNELS_NEON)
uint32_t sincos8_neon_system(const double *x, double *s, double *c);
uint32_t sincos8_neon_correct(const double *x, double *s, double *c);
uint32_t sincos8_neon_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                          bool correct);
uint32_t exp8_neon_system(const double *x, double *y);
uint32_t exp8_neon_correct(const double *x, double *y);
bool sincos8_neon_as_written();
void exp8_neon_pairs(const double *x, double *hi, double *lo, double *scale);
#endif

namespace {

#if defined(LV_KERNELS_X86) || defined(LV_KERNELS_NEON)
// One instruction set's block (of sines and cosines, or of exponentials):
// every lane's candidate, and the bits of the results it left undecided.
using SinCosRoutine = uint32_t (*)(const double *, double *, double *);

template <SinCosRoutine Kernel>
void with_library(const double *x, double *s, double *c) {
    settle_with_library(x, s, c, Kernel(x, s, c));
}

template <SinCosRoutine Kernel>
void with_correct(const double *x, double *s, double *c) {
    settle_with_correct(x, s, c, Kernel(x, s, c));
}

using ExpRoutine = uint32_t (*)(const double *, double *);

template <ExpRoutine Kernel>
void exp_with_library(const double *x, double *y) {
    settle_exp_with_library(x, y, Kernel(x, y));
}

template <ExpRoutine Kernel>
void exp_with_correct(const double *x, double *y) {
    settle_exp_with_correct(x, y, Kernel(x, y));
}

template <ExpRoutine System, ExpRoutine Correct>
uint32_t exp_raw(const double *x, double *y, bool correct) {
    return correct ? Correct(x, y) : System(x, y);
}
#endif

#if defined(LV_KERNELS_X86)
constexpr VectorKernel kAvx2{"avx2",
                              with_library<sincos8_avx2_system>,
                              with_correct<sincos8_avx2_correct>,
                              exp_with_library<exp8_avx2_system>,
                              exp_with_correct<exp8_avx2_correct>,
                              sincos8_avx2_as_written};
constexpr VectorKernel kAvx512{"avx512",
                                with_library<sincos8_avx512_system>,
                                with_correct<sincos8_avx512_correct>,
                                exp_with_library<exp8_avx512_system>,
                                exp_with_correct<exp8_avx512_correct>,
                                sincos8_avx512_as_written};
constexpr VectorProbe kAvx2Probe{sincos8_avx2_raw, exp_raw<exp8_avx2_system, exp8_avx2_correct>,
                                  exp8_avx2_pairs};
constexpr VectorProbe kAvx512Probe{sincos8_avx512_raw, exp_raw<exp8_avx512_system, exp8_avx512_correct>,
                                    exp8_avx512_pairs};
#endif

#if defined(LV_KERNELS_NEON)
constexpr VectorKernel kNeon{"neon",
                              with_library<sincos8_neon_system>,
                              with_correct<sincos8_neon_correct>,
                              exp_with_library<exp8_neon_system>,
                              exp_with_correct<exp8_neon_correct>,
                              sincos8_neon_as_written};
constexpr VectorProbe kNeonProbe{sincos8_neon_raw, exp_raw<exp8_neon_system, exp8_neon_correct>,
                                  exp8_neon_pairs};
#endif

// Every vector path any build has: the processor it is written for, and what
// the CPU needs to run it.
constexpr VectorPath kPaths[] = {
    {"avx2", "x86-64", "AVX2"}, {"avx512", "x86-64", "AVX-512"}, {"neon", "aarch64", "Advanced SIMD"}};

}  // namespace

const char *build_processor() {
#if defined(__x86_64__)
    return "x86-64";
#elif defined(__aarch64__)
    return "aarch64";
#elif defined(__riscv) && __riscv_xlen == 64
    return "riscv64";
#elif defined(__s390x__)
    return "s390x";
#else
    return "this processor";
#endif
}

std::span<const VectorPath> vector_paths() { return kPaths; }

const VectorPath *vector_path(const char *name) {
    for (const VectorPath &p : kPaths)
        if (std::strcmp(p.name, name) == 0) return &p;
    return nullptr;
}

const VectorKernel *vector_kernel(int i) {
#if defined(LV_KERNELS_X86)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    if (i == 0 && avx2) return &kAvx2;
    if (i == 1 && avx512) return &kAvx512;
#elif defined(LV_KERNELS_NEON)
    // Advanced SIMD, with fused multiply-adds on doubles, is part of every
    // AArch64 processor: nothing to detect.
    if (i == 0) return &kNeon;
#else
    (void)i;
#endif
    return nullptr;
}

const VectorKernel *vector_kernel(const char *name) {
    for (int i = 0; const VectorKernel *k = vector_kernel(i); ++i)
        if (std::strcmp(k->name, name) == 0) return k;
    return nullptr;
}

const VectorProbe &vector_probe(const VectorKernel &k) {
#if defined(LV_KERNELS_X86)
    if (&k == &kAvx512) return kAvx512Probe;
    return kAvx2Probe;
#elif defined(LV_KERNELS_NEON)
    (void)k;
    return kNeonProbe;
#else
    // vector_kernel() gives no kernel here, so nothing can ask.
    (void)k;
    static constexpr VectorProbe kNone{nullptr, nullptr, nullptr};
    return kNone;
#endif
}

}  // namespace lv
