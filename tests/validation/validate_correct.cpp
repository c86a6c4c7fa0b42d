// validate_correct: the correctly rounded sin, cos and exp against MPFR, bit for bit.
//
//   validate_correct compare N [THREADS]  N arguments per function; fails on any difference
//   validate_correct worst                the published hardest-to-round arguments and the
//                                         arguments nearest multiples of pi/2
//   validate_correct reference N          the long double reference's error, N arguments of each kind
//   validate_correct accurate N           the accurate phase alone on N arguments per function
//   validate_correct tables [--print]     the committed tables and constants against MPFR
#include <gmp.h>
#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "math/correct.h"
#include "math/correct_internal.h"
#include "math/correct_table.h"
#include "common.h"

namespace {

using lvval::Draws;
using lvval::kInf;
using lvval::rounded_to;
using lvval::same;

namespace data = lv::cr_data;
constexpr double kExpMax = 0x1.62e42fefa39efp+9;

// x moved by `steps` ulps (either way).
double nudge(double x, Draws &d, int reach) {
    for (int n = d.below(reach + 1); n > 0; --n) x = std::nextafter(x, d.sign() * kInf);
    return x;
}

// A multiple of `step` below `reach` steps, moved by 2^-1..2^-60 of a step or by a few ulps.
double near_multiple(Draws &d, double step, double reach) {
    const double k = std::floor(reach * d.unit()) * d.sign();
    const double base = k * step;
    if ((d.next() & 3) == 0) return nudge(base, d, 3);
    return base + d.sign() * std::ldexp(d.unit(), -1 - d.below(60)) * step;
}

const double kSpecials[] = {0.0, -0.0, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(),
                            -std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::signaling_NaN(), std::numeric_limits<double>::max(),
                            -std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                            std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                            256.0, std::nextafter(256.0, kInf), -std::nextafter(256.0, kInf), 0x1p-26,
                            std::nextafter(0x1p-26, 0.0), 0x1p-27, std::nextafter(0x1p-27, 0.0), -0x1p-27,
                            0x1p-54, -0x1p-54, std::nextafter(0x1p-54, 0.0), -std::nextafter(0x1p-54, 0.0),
                            0x1p-53, -0x1p-53, kExpMax, std::nextafter(kExpMax, kInf), -708.0,
                            std::nextafter(-708.0, 0.0), -746.0, std::nextafter(-746.0, 0.0), -745.0,
                            -0x1.74910d52d3051p+9, -0x1.74910d52d3052p+9, 1.0, -1.0, 6381956970095103.0 * 0x1p797};
constexpr int kSpecialCount = sizeof kSpecials / sizeof kSpecials[0];

// Sine and cosine arguments: the kinds and their shares of every 64.
enum SinKind { kSinRun, kSinWide, kSinQuarterPi, kSinTiny, kSinHuge, kSinSpecial, kSinKinds };
constexpr const char *kSinNames[kSinKinds] = {"uniform in [-13, 7]", "uniform in [-256, 256]",
                                              "near multiples of pi/4", "tiny and subnormal",
                                              "huge (to 2^1023)", "special values"};
constexpr int kSinShare[kSinKinds] = {32, 10, 12, 4, 4, 2};

double sin_argument(int kind, Draws &d, uint64_t i) {
    switch (kind) {
    case kSinRun: return -13.0 + 20.0 * d.unit();
    case kSinWide: return 512.0 * d.unit() - 256.0;
    case kSinQuarterPi:
        return near_multiple(d, 0x1.921fb54442d18p-1, (d.next() & 1) != 0 ? 400.0 : 1e7);
    case kSinTiny: return d.sign() * std::ldexp(1.0 + d.unit(), -20 - d.below(1055));
    case kSinHuge: return d.sign() * std::ldexp(1.0 + d.unit(), 8 + d.below(1016));
    default: return kSpecials[i % kSpecialCount];
    }
}

enum ExpKind { kExpWide, kExpCoupling, kExpNearZero, kExpOverflow, kExpUnderflow, kExpSubnormal, kExpSpecial, kExpKinds };
constexpr const char *kExpNames[kExpKinds] = {"uniform in [-746, 710]", "uniform in [-50, 0]", "near 0",
                                              "near the overflow threshold", "near the underflow threshold",
                                              "subnormal results", "special values"};
constexpr int kExpShare[kExpKinds] = {24, 24, 6, 3, 3, 2, 2};

double exp_argument(int kind, Draws &d, uint64_t i) {
    switch (kind) {
    case kExpWide: return -746.0 + 1456.0 * d.unit();
    case kExpCoupling: return -50.0 * d.unit();
    case kExpNearZero: return d.sign() * std::ldexp(1.0 + d.unit(), -d.below(70));
    case kExpOverflow: return kExpMax + (d.unit() - 0.5) * std::ldexp(1.0, -d.below(45));
    case kExpUnderflow: return -0x1.74910d52d3051p+9 + (d.unit() - 0.5) * std::ldexp(1.0, -d.below(45));
    case kExpSubnormal: return -708.4 - 37.0 * d.unit();
    default: return kSpecials[i % kSpecialCount];
    }
}

int kind_of(uint64_t i, const int *share, int kinds) {
    int slot = static_cast<int>(i % 64);
    for (int k = 0; k < kinds; ++k) {
        if (slot < share[k]) return k;
        slot -= share[k];
    }
    return kinds - 1;
}

enum Fn { kSin, kCos, kExp };
const char *const kFnNames[] = {"sin", "cos", "exp"};

// The edge rules: NaN itself (quieted), sin and cos of an infinity one NaN
// on every machine (x86-64's default NaN), whatever this processor's is.
bool edge(Fn f, double a, double *out) {
    if (std::isnan(a)) {
        *out = a + a;
        return true;
    }
    if (std::isinf(a) && f != kExp) {
        *out = std::bit_cast<double>(uint64_t{0xfff8000000000000});
        return true;
    }
    return false;
}

// MPFR's correctly rounded binary64 result (subnormals rounded once).
struct Reference {
    mpfr_t x, y;
    Reference() {
        mpfr_set_emin(-1073);
        mpfr_set_emax(1024);
        mpfr_init2(x, 53);
        mpfr_init2(y, 53);
    }
    ~Reference() { mpfr_clears(x, y, static_cast<mpfr_ptr>(nullptr)); }
    double operator()(Fn f, double a) {
        double out;
        if (edge(f, a, &out)) return out;
        mpfr_set_d(x, a, MPFR_RNDN);
        int t = f == kSin ? mpfr_sin(y, x, MPFR_RNDN) : f == kCos ? mpfr_cos(y, x, MPFR_RNDN) : mpfr_exp(y, x, MPFR_RNDN);
        t = mpfr_subnormalize(y, t, MPFR_RNDN);
        return mpfr_get_d(y, MPFR_RNDN);
    }
};

// The cheap reference: the C library's sinl, cosl and expl in x87 extended
// precision (64-bit significands), a small fraction of MPFR's cost. Nothing
// here proves their error: the bound below is one the comparison assumes and
// `reference` checks against MPFR on every kind of argument the comparison
// draws and on the binary64 arguments nearest multiples of pi/2, where a
// reduction short of bits of pi would lose its relative error first. glibc
// holds these functions to about a unit in the last place, 2^-63 relative at
// most; kCheapBound is four such units. A result within the bound of a
// rounding boundary is left to MPFR, and so is every result on a machine
// whose long double is not the x87 format. A wrong decision cannot pass
// unseen: a difference from the function under test goes to MPFR too.
constexpr bool kCheapAvailable = std::numeric_limits<long double>::digits == 64 &&
                                 std::numeric_limits<long double>::max_exponent == 16384;
constexpr long double kCheapBound = 0x1p-61L;

// The double nearest w when v lies within kCheapBound |v| of w and farther
// than that from the rounding boundaries on either side of round(v): then w
// lies strictly between the same boundaries. The boundaries (halfway to the
// neighbouring doubles, DBL_MAX + 2^970 for the overflow to infinity, 2^-1075
// above zero) have at most 55 significant bits and are exact in long double,
// as is v's distance to them wherever it could be near the bound (Sterbenz);
// the bound carries a factor 1 + 2^-20 for the rounding of its own product.
bool cheap_decides(long double v, double *out) {
    if (v == 0 || std::isinf(v)) {  // the exact results: sin(+-0), exp(+-inf)
        *out = static_cast<double>(v);
        return true;
    }
    const double d = static_cast<double>(v);  // rounded once, subnormals too
    const long double a = std::fabs(v);
    const long double e = a * (kCheapBound * (1 + 0x1p-20L));
    const double ad = std::fabs(d);
    constexpr long double kTop = static_cast<long double>(DBL_MAX) + 0x1p970L;
    long double below, above;
    if (std::isinf(ad)) {
        below = kTop;
        above = std::numeric_limits<long double>::infinity();
    } else {
        below = ad == 0 ? -1.0L : (static_cast<long double>(ad) + std::nextafter(ad, 0.0)) / 2;
        above = ad == DBL_MAX ? kTop : (static_cast<long double>(ad) + std::nextafter(ad, kInf)) / 2;
    }
    if (!(a - below > e && above - a > e)) return false;
    *out = d;
    return true;
}

// Which of sin x and cos x the cheap reference decides (bit 0 the sine, bit 1 the cosine).
unsigned cheap_sincos(double x, double *s, double *c) {
    if (!kCheapAvailable) return 0;
    if (edge(kSin, x, s)) {
        *c = *s;
        return 3;
    }
    long double sl, cl;
    sincosl(x, &sl, &cl);
    return (cheap_decides(sl, s) ? 1u : 0u) | (cheap_decides(cl, c) ? 2u : 0u);
}

bool cheap_exp(double x, double *y) {
    if (!kCheapAvailable) return false;
    if (edge(kExp, x, y)) return true;
    return cheap_decides(expl(x), y);
}

// The binary64 arguments nearest multiples of pi/2, where the reduction
// cancels most: for each binade 2^e <= x < 2^(e+1), e = 0..1023, the last
// convergents p/q (q < 2^53) of the continued fraction of 2^(e-52)/(pi/2),
// one with p even (sin x tiny) and one with p odd (cos x tiny); x = q
// 2^(e-52). x - p pi/2 = (pi/2) (q a - p) for a = 2^(e-52)/(pi/2), and the
// last convergent makes |q a - p| the smallest for any q < 2^53 (J.-M.
// Muller, "Elementary Functions: Algorithms and Implementation", the chapter
// on range reduction). `distance` is log2 |x - p pi/2|.
struct NearMultiple {
    double x, distance;
};

std::vector<NearMultiple> reduction_cases() {
    std::vector<NearMultiple> out;
    const mpfr_prec_t prec = 1400;  // 2^(e-51)/pi has up to 972 integer bits, the expansion needs ~110 more
    mpfr_t pi, a, t;
    mpfr_inits2(prec, pi, a, t, static_cast<mpfr_ptr>(nullptr));
    mpfr_const_pi(pi, MPFR_RNDN);
    mpz_t an, p0, p1, q0, q1, p, q, best_p[2], best_q[2], limit;
    mpz_inits(an, p0, p1, q0, q1, p, q, best_p[0], best_p[1], best_q[0], best_q[1], limit,
              static_cast<mpz_ptr>(nullptr));
    mpz_ui_pow_ui(limit, 2, 53);
    for (int e = 0; e <= 1023; ++e) {
        mpfr_ui_div(a, 1, pi, MPFR_RNDN);
        mpfr_mul_2si(a, a, e - 51, MPFR_RNDN);
        // p/q after p1/q1 (and p0/q0 before it): p = an p1 + p0.
        mpz_set_ui(p0, 0);
        mpz_set_ui(q0, 1);
        mpz_set_ui(p1, 1);
        mpz_set_ui(q1, 0);
        bool found[2] = {false, false};
        for (int step = 0; step < 200; ++step) {
            mpfr_get_z(an, a, MPFR_RNDD);
            mpz_mul(p, an, p1);
            mpz_add(p, p, p0);
            mpz_mul(q, an, q1);
            mpz_add(q, q, q0);
            if (mpz_cmp(q, limit) >= 0) break;
            if (mpz_sgn(p) > 0) {
                const int odd = mpz_odd_p(p) ? 1 : 0;
                mpz_set(best_p[odd], p);
                mpz_set(best_q[odd], q);
                found[odd] = true;
            }
            mpz_set(p0, p1);
            mpz_set(q0, q1);
            mpz_set(p1, p);
            mpz_set(q1, q);
            mpfr_sub_z(t, a, an, MPFR_RNDN);
            if (mpfr_zero_p(t)) break;
            mpfr_ui_div(a, 1, t, MPFR_RNDN);
        }
        for (int odd = 0; odd < 2; ++odd) {
            if (!found[odd]) continue;
            const double x = std::ldexp(mpz_get_d(best_q[odd]), e - 52);  // q < 2^53: exact
            mpfr_mul_z(t, pi, best_p[odd], MPFR_RNDN);
            mpfr_div_2ui(t, t, 1, MPFR_RNDN);
            mpfr_d_sub(t, x, t, MPFR_RNDN);
            mpfr_abs(t, t, MPFR_RNDN);
            mpfr_log2(t, t, MPFR_RNDN);
            out.push_back({x, mpfr_get_d(t, MPFR_RNDN)});
        }
    }
    mpz_clears(an, p0, p1, q0, q1, p, q, best_p[0], best_p[1], best_q[0], best_q[1], limit,
               static_cast<mpz_ptr>(nullptr));
    mpfr_clears(pi, a, t, static_cast<mpfr_ptr>(nullptr));
    const auto below = [](const NearMultiple &l, const NearMultiple &r) { return l.x < r.x; };
    const auto equal = [](const NearMultiple &l, const NearMultiple &r) { return l.x == r.x; };
    std::sort(out.begin(), out.end(), below);
    out.erase(std::unique(out.begin(), out.end(), equal), out.end());
    return out;
}

struct Tally {
    uint64_t count[8] = {}, accurate[8] = {}, referred[8] = {}, differences = 0, reference_errors = 0;
};

// One function's results against the reference: `want` from the cheap
// reference when `cheap`, else from MPFR. A difference from a cheap value is
// settled by MPFR; should MPFR side with the function, the cheap reference
// broke its bound, and the run fails all the same, since its other decisions
// rest on that bound.
void check(Fn f, double x, double have, double have2, double want, bool cheap, Reference &ref, Tally &t,
           std::atomic<int> &reported) {
    if (same(have, want) && same(have2, want)) return;
    if (cheap) {
        const double exact = ref(f, x);
        if (!same(exact, want)) {
            ++t.reference_errors;
            if (reported.fetch_add(1) < 20)
                std::printf("  %s(%a): the long double reference decided %a, MPFR gives %a\n", kFnNames[f], x, want,
                            exact);
            want = exact;
            if (same(have, want) && same(have2, want)) return;
        }
    }
    ++t.differences;
    if (reported.fetch_add(1) < 20)
        std::printf("  %s(%a): %a, MPFR gives %a\n", kFnNames[f], x, same(have, want) ? have2 : have, want);
}

void compare_range(uint64_t first, uint64_t stride, uint64_t n, Tally *t, std::atomic<int> &reported) {
    Reference ref;
    for (uint64_t i = first; i < n; i += stride) {
        Draws d{0x9E3779B97F4A7C15ull ^ (i * 0xD1B54A32D192ED03ull)};
        {
            const int kind = kind_of(i, kSinShare, kSinKinds);
            const double x = sin_argument(kind, d, i);
            double s, c;
            lv::cr_sincos(x, &s, &c);
            const double s1 = lv::cr_sin(x), c1 = lv::cr_cos(x);
            double rs, rc;
            const unsigned decided = cheap_sincos(x, &rs, &rc);
            if ((decided & 1) == 0) rs = ref(kSin, x);
            if ((decided & 2) == 0) rc = ref(kCos, x);
            ++t[0].count[kind];
            if (decided != 3) ++t[0].referred[kind];
            // What cr_sincos asks of its fast phase: both results from 2^-26 on, the cosine alone below.
            const double ax = std::fabs(x);
            double fs, fc;
            if (std::isfinite(x) && ax >= 0x1p-27 && !lv::cr_detail::sincos_fast(x, &fs, &fc, ax < 0x1p-26 ? 2 : 3))
                ++t[0].accurate[kind];
            check(kSin, x, s, s1, rs, (decided & 1) != 0, ref, t[0], reported);
            check(kCos, x, c, c1, rc, (decided & 2) != 0, ref, t[0], reported);
        }
        {
            const int kind = kind_of(i, kExpShare, kExpKinds);
            const double x = exp_argument(kind, d, i);
            const double y = lv::cr_exp(x);
            double ry;
            const bool decided = cheap_exp(x, &ry);
            if (!decided) {
                ry = ref(kExp, x);
                ++t[1].referred[kind];
            }
            ++t[1].count[kind];
            double fy;
            if (x >= -746.0 && x <= kExpMax && std::fabs(x) >= 0x1p-54 && !lv::cr_detail::exp_fast(x, &fy))
                ++t[1].accurate[kind];
            check(kExp, x, y, y, ry, decided, ref, t[1], reported);
        }
    }
    // MPFR keeps its constants per thread; a thread that ends must free its own.
    mpfr_free_cache();
}

int compare(uint64_t n, int threads) {
    if (!kCheapAvailable) std::printf("long double is not the x87 format: every result from MPFR\n");
    std::vector<Tally> tallies(2 * static_cast<size_t>(threads));
    std::atomic<int> reported{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(compare_range, static_cast<uint64_t>(t), static_cast<uint64_t>(threads), n,
                          &tallies[2 * static_cast<size_t>(t)], std::ref(reported));
    for (std::thread &t : pool) t.join();
    Tally all[2];
    for (size_t t = 0; t < tallies.size(); ++t) {
        all[t % 2].differences += tallies[t].differences;
        all[t % 2].reference_errors += tallies[t].reference_errors;
        for (int k = 0; k < 8; ++k) {
            all[t % 2].count[k] += tallies[t].count[k];
            all[t % 2].accurate[k] += tallies[t].accurate[k];
            all[t % 2].referred[k] += tallies[t].referred[k];
        }
    }
    const auto share = [](uint64_t part, uint64_t whole) {
        return part != 0 ? std::log2(static_cast<double>(part) / static_cast<double>(whole)) : -INFINITY;
    };
    const auto print = [&share](const char *what, const Tally &t, const char *const *names, int kinds) {
        std::printf("%s: %" PRIu64 " differences from MPFR, %" PRIu64
                    " wrong decisions of the long double reference; per kind, the arguments reaching the accurate "
                    "phase and those MPFR was asked for:\n",
                    what, t.differences, t.reference_errors);
        for (int k = 0; k < kinds; ++k)
            std::printf("  %-30s %12" PRIu64 " arguments, %10" PRIu64 " accurate (2^%.1f), %10" PRIu64
                        " to MPFR (2^%.1f)\n",
                        names[k], t.count[k], t.accurate[k], share(t.accurate[k], t.count[k]), t.referred[k],
                        share(t.referred[k], t.count[k]));
    };
    print("sin, cos (cr_sincos, cr_sin, cr_cos)", all[0], kSinNames, kSinKinds);
    print("exp", all[1], kExpNames, kExpKinds);
    const uint64_t bad = all[0].differences + all[1].differences + all[0].reference_errors + all[1].reference_errors;
    return bad == 0 ? 0 : 1;
}

// The cheap reference against MPFR (at 192 bits) on n arguments of each kind
// the comparison draws and on every argument of reduction_cases(): its
// largest relative error, which must stay within kCheapBound, and the
// results its rounding test decides, which must be MPFR's (the boundaries,
// subnormal results and the overflow to infinity included).
int reference(uint64_t n) {
    if (!kCheapAvailable) {
        std::printf("long double is not the x87 format: the comparison asks MPFR for every result\n");
        return 0;
    }
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    mpfr_t xm, w, v;
    mpfr_inits2(192, xm, w, v, static_cast<mpfr_ptr>(nullptr));
    struct Line {
        double rel = 0, at = 0;
        uint64_t decided = 0, wrong = 0;
    };
    const auto measure = [&](Fn f, double x, long double got, Line &l) {
        if (!std::isfinite(x)) return;  // the edge rules, the same on both sides
        mpfr_set_d(xm, x, MPFR_RNDN);
        if (f == kSin) mpfr_sin(w, xm, MPFR_RNDN);
        else if (f == kCos) mpfr_cos(w, xm, MPFR_RNDN);
        else mpfr_exp(w, xm, MPFR_RNDN);
        if (mpfr_regular_p(w)) {
            mpfr_set_ld(v, got, MPFR_RNDN);
            mpfr_sub(v, v, w, MPFR_RNDN);
            mpfr_div(v, v, w, MPFR_RNDN);
            const double rel = std::fabs(mpfr_get_d(v, MPFR_RNDN));
            if (rel > l.rel) {
                l.rel = rel;
                l.at = x;
            }
        }
        double decided;
        if (cheap_decides(got, &decided)) {
            ++l.decided;
            const double want = mpfr_get_d(w, MPFR_RNDN);  // subnormals rounded once
            if (!same(decided, want)) {
                if (l.wrong++ < 5) std::printf("  %s(%a): decided %a, MPFR gives %a\n", kFnNames[f], x, decided, want);
            }
        }
    };
    int status = 0;
    const auto line = [&status](const char *what, const char *kind, const Line &l) {
        const bool ok = l.rel <= static_cast<double>(kCheapBound) && l.wrong == 0;
        if (!ok) status = 1;
        std::printf("  %-5s %-30s largest relative error 2^%.2f at %a; %" PRIu64 " decided, %" PRIu64 " wrongly%s\n",
                    what, kind, std::log2(l.rel), l.at, l.decided, l.wrong, ok ? "" : ": FAILED");
    };
    std::printf("long double sinl, cosl, expl against MPFR, bound 2^%.0f:\n",
                std::log2(static_cast<double>(kCheapBound)));
    Draws d{0x5DEECE66Dull};
    for (int kind = 0; kind < kSinKinds; ++kind) {
        Line ls, lc;
        for (uint64_t i = 0; i < n; ++i) {
            const double x = sin_argument(kind, d, i);
            long double sl, cl;
            sincosl(x, &sl, &cl);
            measure(kSin, x, sl, ls);
            measure(kCos, x, cl, lc);
        }
        line("sinl", kSinNames[kind], ls);
        line("cosl", kSinNames[kind], lc);
    }
    {
        Line ls, lc;
        for (const NearMultiple &m : reduction_cases()) {
            long double sl, cl;
            sincosl(m.x, &sl, &cl);
            measure(kSin, m.x, sl, ls);
            measure(kCos, m.x, cl, lc);
        }
        line("sinl", "nearest multiples of pi/2", ls);
        line("cosl", "nearest multiples of pi/2", lc);
    }
    for (int kind = 0; kind < kExpKinds; ++kind) {
        Line le;
        for (uint64_t i = 0; i < n; ++i) {
            const double x = exp_argument(kind, d, i);
            measure(kExp, x, expl(x), le);
        }
        line("expl", kExpNames[kind], le);
    }
    mpfr_clears(xm, w, v, static_cast<mpfr_ptr>(nullptr));
    return status;
}

// The published hardest-to-round arguments of exp, sin and cos in binary64:
// Lefevre and Muller, "Worst cases for correct rounding of the elementary
// functions in double precision" (ARITH 15, 2001; INRIA research report
// 4044, 2000), their tables of each function's worst cases per interval and
// rounding mode, and the list they extended in 2003 (the same data OpenJDK's
// WorstCaseTests carries). Each entry holds the published value of f(x)
// truncated to binary64, which MPFR's round-toward-zero result must equal: an
// argument copied wrong would give another value, or not be hard. Hard cases
// for rounding to nearest lie near a midpoint, those for the directed
// roundings near a double; both are kept, the latter being where a result's
// last bit is decided by a long run after it.
struct Hard {
    Fn f;
    double x, truncated;
};
const Hard kHard[] = {
    {kExp, -0x1.e8bdbfcd9144ep+3, 0x1.f3e558cf4de54p-23},
    {kExp, -0x1.71e0b869b5e79p+2, 0x1.951c6dc5d24e2p-9},
    {kExp, -0x1.02393d5976769p+1, 0x1.1064b2c103ddap-3},
    {kExp, -0x1.cc37ef7de7501p+0, 0x1.534d4de870713p-3},
    {kExp, -0x1.2a9cad9998262p+0, 0x1.3ef1e9b3a81c7p-2},
    {kExp, -0x1.dc2b5df1f7d3dp-1, 0x1.9403fd0ee51c8p-2},
    {kExp, -0x1.22e24fa3d5cf9p-1, 0x1.2217147b85ea9p-1},
    {kExp, -0x1.290ea09e36479p-3, 0x1.baded30cbf1c3p-1},
    {kExp, -0x1.a2fefefd580dfp-13, 0x1.ffe5d0bb7eabfp-1},
    {kExp, -0x1.ed318efb627eap-27, 0x1.ffffff84b39c4p-1},
    {kExp, -0x1.4bd46601ae1efp-31, 0x1.fffffffad0ae6p-1},
    {kExp, -0x1.1000000000242p-42, 0x1.ffffffffff78p-1},
    {kExp, -0x1.2000000000288p-42, 0x1.ffffffffff7p-1},
    {kExp, -0x1.8000000000012p-48, 0x1.fffffffffffdp-1},
    {kExp, -0x1.0000000000001p-51, 0x1.ffffffffffffcp-1},
    {kExp, 0x1.fffffffffffffp-53, 0x1p+0},
    {kExp, 0x1.fffffffffffe0p-48, 0x1.000000000001fp+0},
    {kExp, 0x1.7ffe7ffee0024p-32, 0x1.000000017ffe8p+0},
    {kExp, 0x1.80017ffedffdcp-32, 0x1.0000000180017p+0},
    {kExp, 0x1.9e9cbbfd6080bp-31, 0x1.000000033d397p+0},
    {kExp, 0x1.d7a7d893609e5p-26, 0x1.00000075e9f64p+0},
    {kExp, 0x1.ba07d73250de7p-14, 0x1.0006e83736f8cp+0},
    {kExp, 0x1.d77fd13d27fffp-11, 0x1.003af6c37c1d3p+0},
    {kExp, 0x1.6a4d1af9cc989p-8, 0x1.016b4df3299d7p+0},
    {kExp, 0x1.accfbe46b4ef0p-1, 0x1.27c2e4bc1ee7p+1},
    {kExp, 0x1.aca7ae8da5a7bp+0, 0x1.557d4acd7e556p+2},
    {kExp, 0x1.d6336a88077aap+0, 0x1.91a8dff540ff7p+2},
    {kExp, 0x1.42ee3c7dc4946p+1, 0x1.8ede492d96071p+3},
    {kExp, 0x1.76e7e5d7b6eacp+3, 0x1.de7cd6751029ap+16},
    {kExp, 0x1.a8ead058bc6b8p+3, 0x1.1d71965f516adp+19},
    {kExp, 0x1.1d5c2daebe367p+4, 0x1.a8c02e974c314p+25},
    {kExp, 0x1.c44ce0d716a1ap+4, 0x1.b890ca8637ae1p+40},
    {kSin, 0x1.e0000000001c2p-20, 0x1.dfffffffff02ep-20},
    {kSin, 0x1.598bae9e632f6p-7, 0x1.598a0aea48996p-7},
    {kSin, 0x1.9283586503fe0p-5, 0x1.9259e3708bd39p-5},
    {kSin, 0x1.d7bdcd778049fp-5, 0x1.d77b117f230d5p-5},
    {kSin, 0x1.a202b3fb84788p-4, 0x1.a1490c8c06ba6p-4},
    {kSin, 0x1.d037cb27ee6dfp-3, 0x1.cc40c3805229ap-3},
    {kSin, 0x1.d5064e6fe82c5p-3, 0x1.d0ef799001ba9p-3},
    {kSin, 0x1.fe767739d0f6dp-2, 0x1.e9950730c4695p-2},
    {kSin, 0x1.d98c4c612718dp-1, 0x1.98dcd09337792p-1},
    {kSin, 0x1.921fb54442d18p+0, 0x1.fffffffffffffp-1},
    {kSin, 0x1.6756745770a51p+1, 0x1.4ff350e412821p-2},
    {kCos, 0x1.8000000000009p-23, 0x1.fffffffffff7p-1},
    {kCos, 0x1.8000000000024p-22, 0x1.ffffffffffdcp-1},
    {kCos, 0x1.2000000000f30p-18, 0x1.ffffffffebcp-1},
    {kCos, 0x1.06b505550e6b2p-9, 0x1.ffffbc9a3fbfep-1},
    {kCos, 0x1.97ccd3d2c438fp-6, 0x1.ffd766ba870a8p-1},
    {kCos, 0x1.549ec0c0c5afap-5, 0x1.ff8eb6a91ecb0p-1},
    {kCos, 0x1.16e534ee36580p-4, 0x1.fed0476fc75c9p-1},
    {kCos, 0x1.efeef61d39ac2p-3, 0x1.f10fc61e2c78ep-1},
    {kCos, 0x1.feb1f7920e248p-2, 0x1.c1a27ae836f12p-1},
    {kCos, 0x1.7cb7648526f99p-1, 0x1.78daf01036d0cp-1},
    {kCos, 0x1.c65a170474549p-1, 0x1.434a3645be208p-1},
    {kCos, 0x1.6b8a6273d7c21p+0, 0x1.337fc5b072c52p-3},
};

// Where exact f(x) lies: log2 of its distance, in ulps of the result, from
// the nearest double or midpoint (`midpoint` telling which), and f(x)
// rounded toward zero. Subnormal results are not among these.
struct Placement {
    double distance, truncated;
    bool midpoint;
};
Placement place(Fn f, double a) {
    mpfr_t x, y, t;
    mpfr_inits2(600, x, y, t, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(x, a, MPFR_RNDN);
    if (f == kExp) mpfr_exp(y, x, MPFR_RNDN);
    else if (f == kSin) mpfr_sin(y, x, MPFR_RNDN);
    else mpfr_cos(y, x, MPFR_RNDN);
    const double down = mpfr_get_d(y, MPFR_RNDZ);
    const double ulp = std::nextafter(std::fabs(down), kInf) - std::fabs(down);
    // The fraction of an ulp past the truncated value, in [0, 1).
    mpfr_sub_d(t, y, down, MPFR_RNDN);
    mpfr_abs(t, t, MPFR_RNDN);
    mpfr_div_d(t, t, ulp, MPFR_RNDN);
    const double frac = mpfr_get_d(t, MPFR_RNDN);
    const bool midpoint = std::fabs(frac - 0.5) < 0.25;
    if (midpoint) mpfr_sub_d(t, t, 0.5, MPFR_RNDN);
    else if (frac > 0.5) mpfr_ui_sub(t, 1, t, MPFR_RNDN);
    mpfr_abs(t, t, MPFR_RNDN);
    mpfr_log2(t, t, MPFR_RNDN);
    const Placement p{mpfr_get_d(t, MPFR_RNDN), down, midpoint};
    mpfr_clears(x, y, t, static_cast<mpfr_ptr>(nullptr));
    return p;
}

// cr_sincos, cr_sin and cr_cos (or cr_exp), the accurate phase alone and
// the widest (512-bit) phase alone, against MPFR.
bool matches(Fn f, double x, Reference &ref) {
    const double want = ref(f, x);
    if (f == kExp)
        return same(lv::cr_exp(x), want) && same(lv::cr_detail::exp_accurate(x), want) &&
               same(lv::cr_detail::exp_widest(x), want);
    double s, c, as, ac, ws, wc;
    lv::cr_sincos(x, &s, &c);
    lv::cr_detail::sincos_accurate(x, &as, &ac);
    lv::cr_detail::sincos_widest(x, &ws, &wc);
    if (f == kSin) return same(s, want) && same(as, want) && same(ws, want) && same(lv::cr_sin(x), want);
    return same(c, want) && same(ac, want) && same(wc, want) && same(lv::cr_cos(x), want);
}

// A published worst case lies within 2^-53 ulp or so of a boundary; one
// copied wrong would lie about 2^-2 away, like any other argument.
constexpr double kHardEnough = -45.0;

int worst() {
    Reference ref;
    int status = 0;
    for (const Hard &h : kHard) {
        const Placement p = place(h.f, h.x);
        const bool ok = matches(h.f, h.x, ref);
        const bool faithful = same(p.truncated, h.truncated) && p.distance < kHardEnough;
        std::printf("%s(%a) = %a: %s; 2^%.1f ulp from a %s%s\n", kFnNames[h.f], h.x, ref(h.f, h.x),
                    ok ? "equal" : "DIFFERS", p.distance, p.midpoint ? "midpoint" : "double",
                    faithful ? "" : ": NOT AS PUBLISHED");
        if (!ok || !faithful) status = 1;
    }
    std::printf("%zu published cases: %s\n", sizeof kHard / sizeof kHard[0], status == 0 ? "all equal" : "FAILED");

    // The reduction's hardest arguments: sine and cosine of each. The nearest
    // of all is 6381956970095103 2^797, 2^-60.9 from a multiple of pi/2
    // (Muller, ch. 11); finding it shows the expansion went deep enough.
    const std::vector<NearMultiple> cases = reduction_cases();
    int differences = 0;
    const NearMultiple *nearest = &cases.front();
    for (const NearMultiple &m : cases) {
        for (Fn f : {kSin, kCos}) {
            if (!matches(f, m.x, ref)) {
                if (differences++ < 10)
                    std::printf("  %s(%a) DIFFERS from MPFR's %a\n", kFnNames[f], m.x, ref(f, m.x));
            }
        }
        if (m.distance < nearest->distance) nearest = &m;
    }
    const bool found = same(nearest->x, 0x1.6ac5b262ca1ffp+849);
    std::printf("%zu arguments nearest multiples of pi/2 (2^0 to 2^1024), sine and cosine: %d differences; the "
                "nearest %a, 2^%.2f from its multiple%s\n",
                cases.size(), differences, nearest->x, nearest->distance, found ? "" : " (NOT the known nearest)");
    if (differences != 0 || !found) status = 1;
    return status;
}

// The accurate phase alone and the widest alone, each against MPFR; and
// how many results the accurate phase could not show (the widest took them).
int accurate(uint64_t n) {
    Reference ref;
    uint64_t checked = 0, differences = 0, handed = 0;
    Draws d{0x0123456789ABCDEFull};
    const auto differ = [&differences](const char *what, double x, double have, double want) {
        if (same(have, want)) return;
        if (++differences < 20) std::printf("  %s(%a): %a, MPFR gives %a\n", what, x, have, want);
    };
    for (uint64_t i = 0; i < n; ++i) {
        const int kind = static_cast<int>(i % kSinSpecial);
        double x = sin_argument(kind, d, i);
        if (std::fabs(x) < 0x1p-27) x = std::ldexp(1.0 + d.unit(), -27 + d.below(20));
        double s, c, ws, wc;
        lv::cr_detail::sincos_accurate(x, &s, &c);
        lv::cr_detail::sincos_widest(x, &ws, &wc);
        handed += lv::cr_detail::sincos_accurate_decides(x) ? 0 : 1;
        const double rs = ref(kSin, x), rc = ref(kCos, x);
        checked += 4;
        differ("sin accurate", x, s, rs);
        differ("cos accurate", x, c, rc);
        differ("sin widest", x, ws, rs);
        differ("cos widest", x, wc, rc);
        const int ekind = static_cast<int>(i % kExpSpecial);
        double y = exp_argument(ekind, d, i);
        if (std::fabs(y) < 0x1p-54 || y < -746.0 || y > kExpMax) y = 0x1p-54 * (1.0 + d.unit());
        const double re = ref(kExp, y);
        handed += lv::cr_detail::exp_accurate_decides(y) ? 0 : 1;
        checked += 2;
        differ("exp accurate", y, lv::cr_detail::exp_accurate(y), re);
        differ("exp widest", y, lv::cr_detail::exp_widest(y), re);
    }
    std::printf("accurate and widest phases alone: %" PRIu64 " results, %" PRIu64
                " differences from MPFR; %" PRIu64 " arguments handed to the widest\n",
                checked, differences, handed);
    return differences == 0 ? 0 : 1;
}

// Fixed point with 64 limbs fraction bits, least significant limb first: floor(v 2^(64 limbs)).
void fixed_limbs(mpfr_t v, uint64_t *w, int limbs) {
    mpfr_t t;
    mpfr_init2(t, 64 * limbs + 64);
    mpfr_mul_2si(t, v, 64 * limbs, MPFR_RNDN);  // exact
    mpfr_floor(t, t);
    for (int i = 0; i < limbs; ++i) {
        mpfr_t q;
        mpfr_init2(q, 64 * limbs + 64);
        mpfr_div_2si(q, t, 64, MPFR_RNDN);
        mpfr_floor(q, q);
        mpfr_t r;
        mpfr_init2(r, 64 * limbs + 64);
        mpfr_mul_2si(r, q, 64, MPFR_RNDN);
        mpfr_sub(r, t, r, MPFR_RNDN);  // the low 64 bits
        w[i] = mpfr_get_ui(r, MPFR_RNDN);  // unsigned long has 64 bits here
        mpfr_set(t, q, MPFR_RNDN);
        mpfr_clears(q, r, static_cast<mpfr_ptr>(nullptr));
    }
    mpfr_clear(t);
}

int tables(bool print) {
    int status = 0;
    const auto check = [&status](const char *what, int i, const void *have, const void *want, size_t bytes) {
        if (std::memcmp(have, want, bytes) != 0) {
            if (status++ < 10) std::printf("%s [%d] differs from MPFR\n", what, i);
        }
    };
    mpfr_t pi, v, t;
    mpfr_inits2(2048, pi, v, t, static_cast<mpfr_ptr>(nullptr));
    mpfr_const_pi(pi, MPFR_RNDN);

    // 2/pi, most significant limb first: limb k holds bits 64k+1 .. 64k+64.
    uint64_t two_over_pi[data::kTwoOverPiLimbs];
    mpfr_ui_div(v, 2, pi, MPFR_RNDN);
    fixed_limbs(v, two_over_pi, data::kTwoOverPiLimbs);  // least significant first
    if (print) std::printf("alignas(64) constinit const uint64_t kTwoOverPi[kTwoOverPiLimbs] = {\n");
    for (int k = 0; k < data::kTwoOverPiLimbs; ++k) {
        const uint64_t w = two_over_pi[data::kTwoOverPiLimbs - 1 - k];
        if (print) std::printf("    0x%016" PRIx64 ",\n", w);
        check("2/pi", k, &data::kTwoOverPi[k], &w, sizeof w);
    }
    constexpr int kLimbs = data::kFixedLimbs;
    const auto print_limbs = [](const uint64_t *w) {
        for (int i = 0; i < kLimbs; ++i) std::printf("%s0x%016" PRIx64, i == 0 ? "" : i % 4 == 0 ? ",\n     " : ", ", w[i]);
    };
    if (print) std::printf("};\n\nalignas(64) constinit const uint64_t kSinSteps[256][kFixedLimbs] = {\n");
    for (int j = 0; j < 256; ++j) {
        mpfr_mul_ui(t, pi, static_cast<unsigned long>(j), MPFR_RNDN);
        mpfr_div_ui(t, t, 512, MPFR_RNDN);
        mpfr_sin(v, t, MPFR_RNDN);
        uint64_t w[kLimbs];
        fixed_limbs(v, w, kLimbs);
        if (print) {
            std::printf("    {");
            print_limbs(w);
            std::printf("},\n");
        }
        check("sin(j pi/512)", j, data::kSinSteps[j], w, sizeof w);
    }
    const auto four = [&](const char *name, mpfr_t value, const uint64_t *have) {
        uint64_t w[kLimbs];
        fixed_limbs(value, w, kLimbs);
        if (print) {
            std::printf("};\n\nconstinit const uint64_t %s[kFixedLimbs] = {", name);
            print_limbs(w);
        }
        check(name, 0, have, w, sizeof w);
    };
    mpfr_div_ui(v, pi, 512, MPFR_RNDN);
    four("kPiOver512", v, data::kPiOver512);
    const double pi_hi = mpfr_get_d(v, MPFR_RNDN);
    mpfr_sub_d(t, v, pi_hi, MPFR_RNDN);
    const double pi_lo = mpfr_get_d(t, MPFR_RNDN);
    check("pi/512 hi", 0, &data::kPiOver512Hi, &pi_hi, 8);
    check("pi/512 lo", 0, &data::kPiOver512Lo, &pi_lo, 8);
    mpfr_const_log2(v, MPFR_RNDN);
    four("kLog2", v, data::kLog2);
    // 64/log 2 and (log 2)/64 in three parts.
    mpfr_ui_div(t, 64, v, MPFR_RNDN);
    const double inv = mpfr_get_d(t, MPFR_RNDN);
    mpfr_div_ui(t, v, 64, MPFR_RNDN);
    const double l1 = rounded_to(t, 37);
    mpfr_sub_d(t, t, l1, MPFR_RNDN);
    const double l2 = rounded_to(t, 37);
    mpfr_sub_d(t, t, l2, MPFR_RNDN);
    const double l3 = mpfr_get_d(t, MPFR_RNDN);
    if (print) std::printf("};\n// kInvLog2Step %a, kLog2Step1 %a, kLog2Step2 %a, kLog2Step3 %a, pi/512 %a + %a\n", inv, l1, l2, l3, pi_hi, pi_lo);
    check("64/log 2", 0, &data::kInvLog2Step, &inv, 8);
    check("log 2/64, first part", 0, &data::kLog2Step1, &l1, 8);
    check("log 2/64, second part", 0, &data::kLog2Step2, &l2, 8);
    check("log 2/64, third part", 0, &data::kLog2Step3, &l3, 8);
    mpfr_clears(pi, v, t, static_cast<mpfr_ptr>(nullptr));
    if (!print) std::printf("tables and constants: %s\n", status == 0 ? "as MPFR gives them" : "DIFFER");
    return status == 0 ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: validate_correct compare N [THREADS] | worst | reference N | accurate N | tables [--print]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto count = [&](int i) { return argc > i ? std::strtoull(argv[i], nullptr, 10) : 0; };
    if (mode == "compare" && argc >= 3) return compare(count(2), argc > 3 ? static_cast<int>(count(3)) : 1);
    if (mode == "worst") return worst();
    if (mode == "reference" && argc == 3) return reference(count(2));
    if (mode == "accurate" && argc == 3) return accurate(count(2));
    if (mode == "tables") return tables(argc > 2 && std::strcmp(argv[2], "--print") == 0);
    return usage();
}
