/* host_fpenv.h: the floating-point environment a host may leave behind:
   upward rounding, with flush-to-zero and denormals-are-zero where the
   processor has them (as interval arithmetic, or code built with -ffast-math,
   leaves it). For C and C++ hosts alike. */
#ifndef LUMIVANE_TEST_HOST_FPENV_H
#define LUMIVANE_TEST_HOST_FPENV_H

#include <fenv.h>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

/* The controls as the processor holds them: MXCSR's and the x87 control
   word on x86-64, FPCR on AArch64, the rounding mode elsewhere. */
typedef struct {
    unsigned long long sse, x87;
} host_fpenv;

static inline host_fpenv host_fpenv_read(void) {
    host_fpenv e = {0, 0};
#if defined(__x86_64__)
    unsigned short cw = 0;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    e.sse = _mm_getcsr() & 0xFFC0u; /* the controls, without the flags */
    e.x87 = cw;
#elif defined(__aarch64__)
    unsigned long long fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    e.sse = fpcr;
#else
    e.sse = (unsigned)fegetround();
#endif
    return e;
}

static inline int host_fpenv_same(host_fpenv a, host_fpenv b) { return a.sse == b.sse && a.x87 == b.x87; }

/* Upward rounding, flush-to-zero and denormals-are-zero. */
static inline void host_fpenv_skew(void) {
#if defined(FE_UPWARD)
    fesetround(FE_UPWARD);
#endif
#if defined(__x86_64__)
    _mm_setcsr(_mm_getcsr() | 0x8040u);
#elif defined(__aarch64__)
    unsigned long long fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr |= 1ull << 24; /* FZ */
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
#endif
}

static inline void host_fpenv_default(void) { fesetenv(FE_DFL_ENV); }

#endif
