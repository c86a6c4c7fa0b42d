// validate_correct: the correctly rounded sin, cos and exp against MPFR, bit for bit.
//
//   validate_correct compare N [THREADS]  N arguments per function; fails on any difference
//   validate_correct worst                the published hardest-to-round arguments
//   validate_correct accurate N           the accurate phase alone on N arguments per function
//   validate_correct tables [--print]     the committed tables and constants against MPFR
#include <mpfr.h>

#include <atomic>
#include <bit>
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

namespace {

namespace data = lv::cr_data;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kExpMax = 0x1.62e42fefa39efp+9;

// xorshift64*: a fixed sequence of arguments for every run.
struct Draws {
    uint64_t s;
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double sign() { return (next() & 1) != 0 ? -1.0 : 1.0; }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

bool same(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

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

// MPFR's correctly rounded binary64 result (subnormals rounded once).
enum Fn { kSin, kCos, kExp };
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
        // The edge rules: NaN itself (quieted), sin and cos of an infinity the default NaN.
        if (std::isnan(a)) return a + a;
        if (std::isinf(a) && f != kExp) return a - a;
        mpfr_set_d(x, a, MPFR_RNDN);
        int t = f == kSin ? mpfr_sin(y, x, MPFR_RNDN) : f == kCos ? mpfr_cos(y, x, MPFR_RNDN) : mpfr_exp(y, x, MPFR_RNDN);
        t = mpfr_subnormalize(y, t, MPFR_RNDN);
        return mpfr_get_d(y, MPFR_RNDN);
    }
};

struct Tally {
    uint64_t count[8] = {}, accurate[8] = {}, differences = 0;
};

void report(Fn f, double x, double have, double want, std::atomic<int> &reported) {
    static const char *names[] = {"sin", "cos", "exp"};
    if (reported.fetch_add(1) < 20) std::printf("  %s(%a): %a, MPFR gives %a\n", names[f], x, have, want);
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
            const double rs = ref(kSin, x), rc = ref(kCos, x);
            const double s1 = lv::cr_sin(x), c1 = lv::cr_cos(x);
            ++t[0].count[kind];
            double fs, fc;
            if (std::isfinite(x) && std::fabs(x) >= 0x1p-27 && !lv::cr_detail::sincos_fast(x, &fs, &fc, 3))
                ++t[0].accurate[kind];
            if (!same(s, rs) || !same(s1, rs)) {
                ++t[0].differences;
                report(kSin, x, same(s, rs) ? s1 : s, rs, reported);
            }
            if (!same(c, rc) || !same(c1, rc)) {
                ++t[0].differences;
                report(kCos, x, same(c, rc) ? c1 : c, rc, reported);
            }
        }
        {
            const int kind = kind_of(i, kExpShare, kExpKinds);
            const double x = exp_argument(kind, d, i);
            const double y = lv::cr_exp(x), ry = ref(kExp, x);
            ++t[1].count[kind];
            double fy;
            if (x > -708.0 && x <= kExpMax && std::fabs(x) >= 0x1p-54 && !lv::cr_detail::exp_fast(x, &fy))
                ++t[1].accurate[kind];
            if (!same(y, ry)) {
                ++t[1].differences;
                report(kExp, x, y, ry, reported);
            }
        }
    }
}

int compare(uint64_t n, int threads) {
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
        for (int k = 0; k < 8; ++k) {
            all[t % 2].count[k] += tallies[t].count[k];
            all[t % 2].accurate[k] += tallies[t].accurate[k];
        }
    }
    const auto print = [](const char *what, const Tally &t, const char *const *names, int kinds) {
        std::printf("%s: %" PRIu64 " differences from MPFR; arguments reaching the accurate phase:\n", what,
                    t.differences);
        for (int k = 0; k < kinds; ++k)
            std::printf("  %-30s %12" PRIu64 " arguments, %10" PRIu64 " accurate (2^%.1f)\n", names[k], t.count[k],
                        t.accurate[k],
                        t.accurate[k] ? std::log2(static_cast<double>(t.accurate[k]) / static_cast<double>(t.count[k]))
                                      : -INFINITY);
    };
    print("sin, cos (cr_sincos, cr_sin, cr_cos)", all[0], kSinNames, kSinKinds);
    print("exp", all[1], kExpNames, kExpKinds);
    return all[0].differences + all[1].differences == 0 ? 0 : 1;
}

// Published hardest-to-round arguments (Lefevre and Muller, "Worst cases for
// correct rounding of the elementary functions in double precision", 2001,
// and Muller's list "Some worst cases for the Table Maker's Dilemma", 2000): the
// exact value lies within about 2^-(53+k) of a midpoint or a double, k the
// run of equal bits after the 53rd.
struct Hard {
    Fn f;
    double x;
    int run;
};
const Hard kHard[] = {
    {kExp, -0x1.e8bdbfcd9144ep+3, 55},  // exp, [-16, -8]: 0 0^54 1 after bit 53
    {kExp, -0x1.71e0b869b5e79p+2, 53},  // exp, [-8, -4]: 0 1^52 0
    {kExp, -0x1.02393d5976769p+1, 54},  // exp, [-4, -2]: 1 0^53 1
    // Not a rounding case but the reduction's: the binary64 nearest a multiple
    // of pi/2, 2^-60.9 from it (Muller, Elementary Functions, ch. 11).
    {kSin, 0x1.6ac5b262ca1ffp+849, 0},
    {kCos, 0x1.6ac5b262ca1ffp+849, 0},
};

int worst() {
    Reference ref;
    int status = 0;
    for (const Hard &h : kHard) {
        const double want = ref(h.f, h.x);
        double have, acc;
        if (h.f == kExp) {
            have = lv::cr_exp(h.x);
            acc = lv::cr_detail::exp_accurate(h.x);
        } else {
            double s, c, as, ac;
            lv::cr_sincos(h.x, &s, &c);
            lv::cr_detail::sincos_accurate(h.x, &as, &ac);
            have = h.f == kSin ? s : c;
            acc = h.f == kSin ? as : ac;
        }
        // MPFR's own distance to the rounding boundary, to show the case is as hard as published.
        mpfr_t x, y, d;
        mpfr_inits2(400, x, y, d, static_cast<mpfr_ptr>(nullptr));
        mpfr_set_d(x, h.x, MPFR_RNDN);
        if (h.f == kExp) mpfr_exp(y, x, MPFR_RNDN);
        else if (h.f == kSin) mpfr_sin(y, x, MPFR_RNDN);
        else mpfr_cos(y, x, MPFR_RNDN);
        // In ulps: the distance to the nearer of a double and a midpoint.
        const double u = std::nextafter(std::fabs(want), kInf) - std::fabs(want);
        mpfr_sub_d(d, y, want, MPFR_RNDN);
        mpfr_div_d(d, d, u, MPFR_RNDN);
        mpfr_abs(d, d, MPFR_RNDN);
        mpfr_t m;
        mpfr_init2(m, 400);
        mpfr_d_sub(m, 0.5, d, MPFR_RNDN);
        mpfr_min(d, d, m, MPFR_RNDN);
        mpfr_clear(m);
        const double off = mpfr_get_d(d, MPFR_RNDN);
        mpfr_clears(x, y, d, static_cast<mpfr_ptr>(nullptr));
        const bool ok = same(have, want) && same(acc, want);
        std::printf("%s(%a) = %a: %s; accurate phase %s; %.3g ulp from a double or midpoint (2^%.1f), published run %d\n",
                    h.f == kExp ? "exp" : h.f == kSin ? "sin" : "cos", h.x, want, same(have, want) ? "equal" : "DIFFERS",
                    same(acc, want) ? "equal" : "DIFFERS", off, std::log2(off), h.run);
        if (!ok) status = 1;
    }
    std::printf("%zu published cases: %s\n", sizeof kHard / sizeof kHard[0], status == 0 ? "all equal" : "DIFFERENCES");
    return status;
}

int accurate(uint64_t n) {
    Reference ref;
    uint64_t checked = 0, differences = 0;
    Draws d{0x0123456789ABCDEFull};
    for (uint64_t i = 0; i < n; ++i) {
        const int kind = static_cast<int>(i % kSinSpecial);
        double x = sin_argument(kind, d, i);
        if (std::fabs(x) < 0x1p-27) x = std::ldexp(1.0 + d.unit(), -27 + d.below(20));
        double s, c;
        lv::cr_detail::sincos_accurate(x, &s, &c);
        const double rs = ref(kSin, x), rc = ref(kCos, x);
        checked += 2;
        if (!same(s, rs) || !same(c, rc)) {
            ++differences;
            if (differences < 20) std::printf("  sincos_accurate(%a): %a %a, MPFR gives %a %a\n", x, s, c, rs, rc);
        }
        const int ekind = static_cast<int>(i % kExpSpecial);
        double y = exp_argument(ekind, d, i);
        if (std::fabs(y) < 0x1p-54 || y < -746.0 || y > kExpMax) y = 0x1p-54 * (1.0 + d.unit());
        const double e = lv::cr_detail::exp_accurate(y), re = ref(kExp, y);
        ++checked;
        if (!same(e, re)) {
            ++differences;
            if (differences < 20) std::printf("  exp_accurate(%a): %a, MPFR gives %a\n", y, e, re);
        }
    }
    std::printf("accurate phase alone: %" PRIu64 " results, %" PRIu64 " differences from MPFR\n", checked, differences);
    return differences == 0 ? 0 : 1;
}

// Fixed point with 256 fraction bits, least significant limb first: floor(v 2^256).
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

double rounded_to(mpfr_t v, int bits) {
    mpfr_t r;
    mpfr_init2(r, bits);
    mpfr_set(r, v, MPFR_RNDN);
    const double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clear(r);
    return d;
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
    if (print) std::printf("};\n\nalignas(64) constinit const uint64_t kSinSteps[256][4] = {\n");
    for (int j = 0; j < 256; ++j) {
        mpfr_mul_ui(t, pi, static_cast<unsigned long>(j), MPFR_RNDN);
        mpfr_div_ui(t, t, 512, MPFR_RNDN);
        mpfr_sin(v, t, MPFR_RNDN);
        uint64_t w[4];
        fixed_limbs(v, w, 4);
        if (print)
            std::printf("    {0x%016" PRIx64 ", 0x%016" PRIx64 ", 0x%016" PRIx64 ", 0x%016" PRIx64 "},\n", w[0], w[1],
                        w[2], w[3]);
        check("sin(j pi/512)", j, data::kSinSteps[j], w, sizeof w);
    }
    const auto four = [&](const char *name, mpfr_t value, const uint64_t *have) {
        uint64_t w[4];
        fixed_limbs(value, w, 4);
        if (print)
            std::printf("};\n\nconstinit const uint64_t %s[4] = {0x%016" PRIx64 ", 0x%016" PRIx64 ", 0x%016" PRIx64
                        ", 0x%016" PRIx64 "",
                        name, w[0], w[1], w[2], w[3]);
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
    if (print) std::printf("};\n\nalignas(64) constinit const double kExp2Steps[64][2] = {\n");
    for (int j = 0; j < 64; ++j) {
        mpfr_set_ui(t, static_cast<unsigned long>(j), MPFR_RNDN);
        mpfr_div_ui(t, t, 64, MPFR_RNDN);
        mpfr_ui_pow(v, 2, t, MPFR_RNDN);
        const double hi = mpfr_get_d(v, MPFR_RNDN);
        mpfr_sub_d(v, v, hi, MPFR_RNDN);
        const double lo = mpfr_get_d(v, MPFR_RNDN);
        if (print) std::printf("    {%a, %a},\n", hi, lo);
        const double pair[2] = {hi, lo};
        check("2^(j/64)", j, data::kExp2Steps[j], pair, sizeof pair);
    }
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
    std::fprintf(stderr, "usage: validate_correct compare N [THREADS] | worst | accurate N | tables [--print]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto count = [&](int i) { return argc > i ? std::strtoull(argv[i], nullptr, 10) : 0; };
    if (mode == "compare" && argc >= 3) return compare(count(2), argc > 3 ? static_cast<int>(count(3)) : 1);
    if (mode == "worst") return worst();
    if (mode == "accurate" && argc == 3) return accurate(count(2));
    if (mode == "tables") return tables(argc > 2 && std::strcmp(argv[2], "--print") == 0);
    return usage();
}
