// validate_sincos: the sweep's vector sines, cosines and exponentials against the maths library and MPFR.
//
//   validate_sincos compare N [THREADS]  every kernel against sincos and exp on N arguments each, and in the
//                                        correct mode against cr_sincos and cr_exp; fails on any difference
//   validate_sincos hard                 the first-use check's arguments, through every kernel
//   validate_sincos tail N [THREADS] [--only NAMES] [--fail-at]
//                                        the library's error past half an ulp on each of its ranges of
//                                        sin, cos and exp, N arguments a range; NAMES (comma-separated):
//                                        ranges (sin-small, ..., exp-low) or sin, cos, exp for all of
//                                        one function's. --fail-at: fails when 1.5 times a range's
//                                        largest excess reaches the margin the routine uses there
//   validate_sincos tail N LO HI [THREADS]  the same for sin and cos with x uniform in [LO, HI)
//   validate_sincos accuracy N           each kernel's hi + lo, sines, cosines and exponentials, against MPFR;
//                                        fails past its stated bound
//   validate_sincos table [--print]      the tables and the reductions' constants against MPFR
//
// Modes that need a vector kernel exit with 77 (skipped) where the build or
// the CPU has none.
#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "math/sincos8.h"
#include "math/sincos8_probe.h"
#include "math/sincos8_table.h"
#include "common.h"

namespace {

using lvval::Draws;
using lvval::kInf;
using lvval::rounded_to;
using lvval::same;

namespace data = lv::sincos8_data;

// The exit status ctest reads as a skipped test (SKIP_RETURN_CODE).
constexpr int kSkipped = 77;

// The kinds of argument compared, each with its share of every 64 arguments.
enum Kind { kUniformRun, kUniformWide, kNearQuarterPi, kNearTableStep, kTiny, kLarge, kSpecial, kKinds };
constexpr const char *kKindNames[kKinds] = {
    "uniform in [-13, 7]", "uniform in [-256, 256]", "near multiples of pi/4",
    "near multiples of pi/1024", "tiny and subnormal", "large", "special values"};
constexpr int kShare[kKinds] = {32, 8, 8, 8, 3, 3, 2};

const double kSpecials[] = {0.0, -0.0, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(),
                            -std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::signaling_NaN(),
                            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
                            -std::numeric_limits<double>::denorm_min(), 256.0,
                            std::nextafter(256.0, 0.0), std::nextafter(256.0, kInf), -256.0,
                            0x1p-20, std::nextafter(0x1p-20, 0.0), 0x1p18, 1e6};

// A multiple of `step` within `reach`, moved by a random offset between 2^-1 and 2^-60 of
// its size, or by a few ulps.
double near_multiple(Draws &d, double step, int reach) {
    const auto k = static_cast<int>(d.next() % (2 * reach + 1)) - reach;
    const double base = static_cast<double>(k) * step;
    if ((d.next() & 3) == 0) {
        double x = base;
        for (auto n = d.next() % 4; n > 0; --n) x = std::nextafter(x, d.sign() * kInf);
        return x;
    }
    const int e = 1 + static_cast<int>(d.next() % 60);
    return base + d.sign() * std::ldexp(d.unit(), -e) * step;
}

double argument(Kind kind, Draws &d, uint64_t i) {
    switch (kind) {
    case kUniformRun: return -13.0 + 20.0 * d.unit();
    case kUniformWide: return 512.0 * d.unit() - 256.0;
    case kNearQuarterPi: return near_multiple(d, 0x1.921fb54442d18p-1, 330);
    case kNearTableStep: return near_multiple(d, 0x1.921fb54442d18p-10, 2000);
    case kTiny: return d.sign() * std::ldexp(1.0 + d.unit(), -20 - static_cast<int>(d.next() % 1060));
    case kLarge:
        if ((d.next() & 1) != 0) return d.sign() * 1e6 * d.unit();
        return d.sign() * std::ldexp(1.0 + d.unit(), 7 + static_cast<int>(d.next() % 1017));
    default: return kSpecials[i % (sizeof kSpecials / sizeof kSpecials[0])];
    }
}

Kind kind_of(uint64_t i) {
    int slot = static_cast<int>(i % 64);
    for (int k = 0; k < kKinds; ++k) {
        if (slot < kShare[k]) return static_cast<Kind>(k);
        slot -= kShare[k];
    }
    return kSpecial;
}

struct Tally {
    uint64_t lanes[kKinds] = {};
    uint64_t library[kKinds] = {};  // lanes with a sine or a cosine left to the library
    uint64_t results[kKinds] = {};  // sines and cosines left to it
    uint64_t differences = 0;
    uint64_t exp_library = 0;  // exponentials left to the library
    uint64_t exp_differences = 0;
    uint64_t correct_differences = 0;  // the correct mode's sines, cosines and exponentials
};

const double kExpSpecials[] = {0.0, -0.0, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(),
                               -707.0, std::nextafter(-707.0, -kInf), 709.0, std::nextafter(709.0, kInf),
                               -745.1332191019412, -746.0, std::nextafter(-746.0, -kInf), 0x1.62e42fefa39efp+9,
                               std::nextafter(0x1.62e42fefa39efp+9, kInf), -1e300, 1e300};

// The couplings' range (x <= 0, mostly small), the routine's whole range and
// past it, near its table's steps (ln2/128), tiny arguments and the edges.
double exp_argument(Draws &d, uint64_t i) {
    switch (i % 16) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: return -50.0 * d.unit();
    case 8: case 9: case 10: return -750.0 + 1462.0 * d.unit();
    case 11: case 12: {
        const double step = 0x1.62e42fefa39efp-8;
        const double k = std::floor(700.0 / step * d.unit()) * d.sign();
        return k * step + d.sign() * std::ldexp(d.unit(), -20 - static_cast<int>(d.next() % 40));
    }
    case 13: case 14: return d.sign() * std::ldexp(1.0 + d.unit(), -1 - static_cast<int>(d.next() % 70));
    default: return kExpSpecials[(i / 16) % (sizeof kExpSpecials / sizeof kExpSpecials[0])];
    }
}

// Arguments i = first, first + stride, ... below n, eight to a block.
void compare_range(const lv::VectorKernel &k, uint64_t first_block, uint64_t stride,
                   uint64_t blocks, Tally &t, std::atomic<int> &reported) {
    for (uint64_t b = first_block; b < blocks; b += stride) {
        Draws d{0x9E3779B97F4A7C15ull ^ (b * 0xD1B54A32D192ED03ull)};
        double x[8], s[8], c[8], rs[8], rc[8], h[8], l[8];
        Kind kinds[8];
        for (int j = 0; j < 8; ++j) {
            const uint64_t i = b * 8 + static_cast<uint64_t>(j);
            kinds[j] = kind_of(i);
            x[j] = argument(kinds[j], d, i);
        }
        k.system(x, s, c);
        lv::sincos8_scalar(x, rs, rc);
        const uint32_t library = lv::vector_probe(k).raw(x, h, l, h, l, false);
        for (int j = 0; j < 8; ++j) {
            ++t.lanes[kinds[j]];
            if (((library | library >> 8) >> j & 1) != 0) ++t.library[kinds[j]];
            t.results[kinds[j]] += (library >> j & 1) + (library >> (8 + j) & 1);
            if (!same(s[j], rs[j]) || !same(c[j], rc[j])) {
                ++t.differences;
                if (reported.fetch_add(1) < 20)
                    std::printf("  %s: x = %a: sin %a cos %a, the library %a %a\n", k.name, x[j],
                                s[j], c[j], rs[j], rc[j]);
            }
        }
        // The correct mode's blocks against the scalar correctly rounded functions.
        k.correct(x, s, c);
        lv::sincos8_correct_scalar(x, rs, rc);
        for (int j = 0; j < 8; ++j)
            if (!same(s[j], rs[j]) || !same(c[j], rc[j])) {
                ++t.correct_differences;
                if (reported.fetch_add(1) < 20)
                    std::printf("  %s: x = %a: sin %a cos %a, correctly rounded %a %a\n", k.name, x[j],
                                s[j], c[j], rs[j], rc[j]);
            }
        for (int j = 0; j < 8; ++j) x[j] = exp_argument(d, b * 8 + static_cast<uint64_t>(j));
        k.exp_system(x, s);
        lv::exp8_scalar(x, rs);
        t.exp_library += static_cast<uint64_t>(std::popcount(lv::vector_probe(k).exp_raw(x, h, false) & 0xff));
        k.exp_correct(x, c);
        lv::exp8_correct_scalar(x, rc);
        for (int j = 0; j < 8; ++j) {
            if (!same(s[j], rs[j])) {
                ++t.exp_differences;
                if (reported.fetch_add(1) < 20)
                    std::printf("  %s: x = %a: exp %a, the library %a\n", k.name, x[j], s[j], rs[j]);
            }
            if (!same(c[j], rc[j])) {
                ++t.correct_differences;
                if (reported.fetch_add(1) < 20)
                    std::printf("  %s: x = %a: exp %a, correctly rounded %a\n", k.name, x[j], c[j], rc[j]);
            }
        }
    }
}

int compare(uint64_t n, int threads) {
    int status = 0;
    if (lv::vector_kernel(0) == nullptr) {
        std::printf("no vector kernel in this build or on this CPU: nothing to compare\n");
        return kSkipped;
    }
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) {
        const uint64_t blocks = (n + 7) / 8;
        std::vector<Tally> tallies(static_cast<size_t>(threads));
        std::atomic<int> reported{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back(compare_range, std::cref(*k), static_cast<uint64_t>(t),
                              static_cast<uint64_t>(threads), blocks, std::ref(tallies[static_cast<size_t>(t)]),
                              std::ref(reported));
        for (std::thread &t : pool) t.join();
        Tally all;
        for (const Tally &t : tallies) {
            all.differences += t.differences;
            all.exp_differences += t.exp_differences;
            all.exp_library += t.exp_library;
            all.correct_differences += t.correct_differences;
            for (int kind = 0; kind < kKinds; ++kind) {
                all.lanes[kind] += t.lanes[kind];
                all.library[kind] += t.library[kind];
                all.results[kind] += t.results[kind];
            }
        }
        uint64_t lanes = 0;
        for (const uint64_t l : all.lanes) lanes += l;
        std::printf("%s: %" PRIu64 " arguments, %" PRIu64 " differences from sincos; left to the library:\n",
                    k->name, lanes, all.differences);
        for (int kind = 0; kind < kKinds; ++kind) {
            const double n = static_cast<double>(all.lanes[kind] ? all.lanes[kind] : 1);
            std::printf("  %-28s %12" PRIu64 " arguments: %6.2f%% of lanes, %6.2f%% of results\n",
                        kKindNames[kind], all.lanes[kind], 100.0 * static_cast<double>(all.library[kind]) / n,
                        50.0 * static_cast<double>(all.results[kind]) / n);
        }
        std::printf("%s: %" PRIu64 " exponentials, %" PRIu64 " differences from exp; %.2f%% left to the library\n",
                    k->name, lanes, all.exp_differences,
                    100.0 * static_cast<double>(all.exp_library) / static_cast<double>(lanes ? lanes : 1));
        std::printf("%s, correct mode: %" PRIu64 " differences from cr_sincos and cr_exp\n", k->name,
                    all.correct_differences);
        if (all.differences != 0 || all.exp_differences != 0 || all.correct_differences != 0) status = 1;
    }
    return status;
}

int hard() {
    const lv::HardArguments h = lv::sincos8_hard_arguments();
    if (lv::vector_kernel(0) == nullptr) {
        std::printf("no vector kernel in this build or on this CPU: nothing to check\n");
        return kSkipped;
    }
    int status = 0;
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) {
        const bool passes = lv::sincos8_checked(k->system) == k->system;
        std::printf("%s: %s the check on %d hard arguments\n", k->name, passes ? "passes" : "FAILS", h.count);
        if (!passes) status = 1;
    }
    return status;
}

// The library's error tail, range by range.
//
// The routine takes the library's result to be its own rounding wherever the
// true value lies farther than delta ulp from a rounding midpoint, so delta
// must exceed the library's error past half an ulp. The library computes
// differently on different ranges, and each range is measured on its own.

enum class Fn { sin, cos, exp };

const char *fn_name(Fn f) { return f == Fn::sin ? "sin" : f == Fn::cos ? "cos" : "exp"; }

// glibc's paths through sin and cos (s_sin.c), chosen by |x|: below 2^-26 sin
// x is x and below 2^-27 cos x is 1; its sine sums a Taylor series below
// 0.126; a table serves both below 0x1.b6p-1 (0.855469); below 0x1.368fdp+1
// (2.426265) each works from pi/2 - |x|; beyond, x is reduced by pi/2. The
// routine hands every |x| past kMaxArgument to the library whatever its
// rounding, so the last range ends there and no margin is needed beyond.
constexpr double kTaylorEnd = 0.126;
constexpr double kTableEnd = 0x1.b6p-1;
constexpr double kComplementEnd = 0x1.368fdp+1;
// glibc's exp gives 1 + x below 2^-54, works from its table and polynomial up
// to |x| 512, and past that scales by 2^m in two steps, differently for
// large and for small results. The routine answers [kExpLowest, kExpHighest].
constexpr double kExpTinyEnd = 0x1p-54;
constexpr double kExpScaledFrom = 512.0;

// Arguments drawn from [lo, hi), of either sign when `both_signs`;
// log-uniform for ranges that span several binades, so that each binade is
// measured.
struct Range {
    std::string name;
    Fn fn;
    double lo, hi;
    bool both_signs, log_uniform;
    const char *path;  // the library's way through the range
};

std::vector<Range> library_ranges() {
    const double top = data::kMaxArgument;
    return {
        {"sin-small", Fn::sin, 0x1p-26, kTaylorEnd, true, true, "Taylor series"},
        {"sin-middle", Fn::sin, kTaylorEnd, kTableEnd, true, true, "table"},
        {"sin-quarter", Fn::sin, kTableEnd, kComplementEnd, true, false, "cos of pi/2 - |x|"},
        {"sin-large", Fn::sin, kComplementEnd, top, true, true, "reduced by pi/2"},
        {"cos-small", Fn::cos, 0x1p-27, kTaylorEnd, true, true, "table"},
        {"cos-middle", Fn::cos, kTaylorEnd, kTableEnd, true, true, "table"},
        {"cos-quarter", Fn::cos, kTableEnd, kComplementEnd, true, false, "sin of pi/2 - |x|"},
        {"cos-large", Fn::cos, kComplementEnd, top, true, true, "reduced by pi/2"},
        // The routine answers none of these: exp x rounds to 1, a power of two.
        {"exp-tiny", Fn::exp, 0x1p-70, kExpTinyEnd, true, true, "1 + x"},
        {"exp-small", Fn::exp, kExpTinyEnd, 1.0, true, true, "table and polynomial"},
        {"exp-main", Fn::exp, 1.0, kExpScaledFrom, true, true, "table and polynomial"},
        {"exp-high", Fn::exp, kExpScaledFrom, data::kExpHighest, false, false, "scaled in two steps"},
        {"exp-low", Fn::exp, data::kExpLowest, -kExpScaledFrom, false, false, "scaled in two steps"},
    };
}

// The smallest |x| and the largest of a range.
void magnitudes(const Range &r, double &lo, double &hi) {
    if (r.both_signs || r.lo >= 0.0) {
        lo = r.lo;
        hi = r.hi;
    } else if (r.hi <= 0.0) {
        lo = -r.hi;
        hi = -r.lo;
    } else {
        lo = 0.0;
        hi = std::fmax(-r.lo, r.hi);
    }
}

// The margin the routine applies to results in the range: the smallest one
// where the range spans more than one.
double delta_of(const Range &r) {
    if (r.fn == Fn::exp) return data::kExpDelta;
    if (r.fn == Fn::cos) return data::kDelta;
    double lo, hi;
    magnitudes(r, lo, hi);
    if (hi <= data::kSmallSine) return data::kDeltaSmallSine;
    if (lo >= data::kSmallSine) return data::kDelta;
    return std::fmin(data::kDelta, data::kDeltaSmallSine);
}

uint64_t seed_of(const std::string &name) {
    uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a: a range draws the same arguments alone or among others
    for (const char ch : name) h = (h ^ static_cast<unsigned char>(ch)) * 0x100000001b3ull;
    return h;
}

// Draws from a range; `log_span` is log2(hi / lo) for a log-uniform one, and
// `below_hi` the double below hi, which rounding may otherwise reach.
double draw(const Range &r, double log_span, double below_hi, Draws &d) {
    double x = r.log_uniform ? r.lo * std::exp2(log_span * d.unit()) : r.lo + (r.hi - r.lo) * d.unit();
    x = std::fmin(std::fmax(x, r.lo), below_hi);
    return r.both_signs ? d.sign() * x : x;
}

// Results past half an ulp, by their excess over it.
constexpr double kExcessEdges[] = {0.001, 0.002, 0.005, 0.01, 0.015, 0.02, 0.03, 0.05, kInf};
constexpr int kBins = sizeof kExcessEdges / sizeof kExcessEdges[0];
// The largest cases of each range by the reference are rechecked with MPFR,
// and the largest of those reported: far more are kept than reported, so that
// the reference's own error cannot leave the true largest out.
constexpr int kTop = 16;
constexpr int kKept = 256;
// The first arguments of each range also check the reference against MPFR.
constexpr uint64_t kReferenceChecked = 1u << 15;
// What the measurement asks of its reference: 2^-60 relative, at most 2^-7
// ulp. The references used are far better (the routine's 2^-66, the x87
// functions' about 2^-63), and the figures that decide are MPFR's.
constexpr double kReferenceBound = 0x1p-60;

// The reference a result is measured against.
enum Reference { kRoutine, kLongDouble, kMpfr, kReferences };
constexpr const char *kReferenceNames[kReferences] = {"the routine's hi + lo", "long double", "MPFR"};

struct Case {
    double excess, x;
};

struct TailTally {
    uint64_t arguments = 0, answered = 0;
    uint64_t by[kReferences] = {};
    uint64_t histogram[kBins] = {};
    double reference_error = 0.0;  // relative, on the checked arguments
    Case top[kKept];
    int lowest = 0;  // the smallest of top
    TailTally() {
        for (Case &c : top) c = Case{-kInf, 0.0};
    }
    void note(double x, double error, Reference ref) {
        ++arguments;
        ++by[ref];
        const double excess = error - 0.5;
        if (excess > 0.0) {
            int b = 0;
            while (excess >= kExcessEdges[b]) ++b;
            ++histogram[b];
        }
        if (excess > top[lowest].excess) {
            top[lowest] = Case{excess, x};
            for (int i = 0; i < kKept; ++i)
                if (top[i].excess < top[lowest].excess) lowest = i;
        }
    }
};

// The exact values, at 256 bits; one per thread.
struct Exact {
    mpfr_t x, v, d;
    Exact() { mpfr_inits2(256, x, v, d, static_cast<mpfr_ptr>(nullptr)); }
    ~Exact() { mpfr_clears(x, v, d, static_cast<mpfr_ptr>(nullptr)); }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    void eval(Fn f, double a) {
        mpfr_set_d(x, a, MPFR_RNDN);
        if (f == Fn::sin) mpfr_sin(v, x, MPFR_RNDN);
        else if (f == Fn::cos) mpfr_cos(v, x, MPFR_RNDN);
        else mpfr_exp(v, x, MPFR_RNDN);
    }
    // |f(a) - y| in ulps of f(a): |f(a)| in [2^(e-1), 2^e) has ulps of 2^(e-53).
    double ulps(Fn f, double a, double y) {
        eval(f, a);
        mpfr_sub_d(d, v, y, MPFR_RNDN);
        mpfr_mul_2si(d, d, 53 - mpfr_get_exp(v), MPFR_RNDN);
        return std::fabs(mpfr_get_d(d, MPFR_RNDN));
    }
    // |hi + lo - f(a)| / |f(a)|.
    double relative(Fn f, double a, double hi, double lo) {
        eval(f, a);
        mpfr_sub_d(d, v, hi, MPFR_RNDN);
        mpfr_sub_d(d, d, lo, MPFR_RNDN);
        mpfr_div(d, d, v, MPFR_RNDN);
        return std::fabs(mpfr_get_d(d, MPFR_RNDN));
    }
    double relative(Fn f, double a, long double r) {
        eval(f, a);
        mpfr_set_ld(d, r, MPFR_RNDN);
        mpfr_sub(d, v, d, MPFR_RNDN);
        mpfr_div(d, d, v, MPFR_RNDN);
        return std::fabs(mpfr_get_d(d, MPFR_RNDN));
    }
};

// |y - (hi + lo)| in ulps of hi + lo, hi a normal double. y lies within a few
// ulps of hi, so y - hi is exact.
double dd_ulps(double y, double hi, double lo) {
    const uint64_t b = std::bit_cast<uint64_t>(hi);
    double u = std::bit_cast<double>(b & 0x7ff0000000000000ull) * 0x1p-52;
    // A power of two with lo towards zero: the value lies in the binade below.
    if ((b & 0x000fffffffffffffull) == 0 && lo != 0.0 && std::signbit(lo) != std::signbit(hi)) u *= 0.5;
    return std::fabs((y - hi) - lo) / u;
}

// |y - r| in ulps of r. Within an ulp of y, r lies in y's binade unless y is
// a power of two.
double ld_ulps(double y, long double r) {
    const uint64_t b = std::bit_cast<uint64_t>(y);
    const long double d = std::fabs(static_cast<long double>(y) - r);
    if ((b & 0x000fffffffffffffull) != 0) {
        const long double u = std::bit_cast<double>(b & 0x7ff0000000000000ull) * 0x1p-52;
        if (d < u) return static_cast<double>(d / u);
    }
    int e;
    std::frexp(r, &e);
    return static_cast<double>(d / std::ldexp(1.0L, e - 53));
}

// The routine's hi + lo is within kOwnError of the true value where it
// computes the lane itself: |x| <= kMaxArgument, and x at least kMinReduced
// from every multiple of pi/512. The distance is estimated in long double
// (to about 2^-55), and twice kMinReduced leaves room for that. Closer to 0,
// the x87 functions need no reduction; elsewhere MPFR gives the value.
Reference trig_reference(double x) {
    constexpr long double kStepL = 3.14159265358979323846264338327950288L / 512;
    const long double ax = std::fabs(static_cast<long double>(x));
    if (!(ax <= data::kMaxArgument)) return kMpfr;
    const long double k = std::rint(ax / kStepL);
    if (std::fabs(ax - k * kStepL) >= 2 * data::kMinReduced) return kRoutine;
    return k == 0 ? kLongDouble : kMpfr;
}

struct Share {
    uint64_t first, stride, blocks;
};

void tail_trig(const Range &r, const lv::VectorKernel &k, Share share, TailTally &t) {
    Exact exact;
    const bool sine = r.fn == Fn::sin;
    const double log_span = r.log_uniform ? std::log2(r.hi / r.lo) : 0.0;
    const double below_hi = std::nextafter(r.hi, -kInf);
    for (uint64_t b = share.first; b < share.blocks; b += share.stride) {
        Draws d{seed_of(r.name) ^ (b * 0xD1B54A32D192ED03ull)};
        double x[8], sh[8], sl[8], ch[8], cl[8];
        for (double &v : x) v = draw(r, log_span, below_hi, d);
        const uint32_t undecided = lv::vector_probe(k).raw(x, sh, sl, ch, cl, false);
        for (int j = 0; j < 8; ++j) {
            double s, c;
            ::sincos(x[j], &s, &c);
            const double y = sine ? s : c;
            t.answered += (undecided >> (sine ? j : 8 + j) & 1) == 0;
            const bool check = b * 8 + static_cast<uint64_t>(j) < kReferenceChecked;
            const Reference ref = trig_reference(x[j]);
            double e = 0.0, rel = 0.0;
            if (ref == kRoutine) {
                const double hi = sine ? sh[j] : ch[j], lo = sine ? sl[j] : cl[j];
                e = dd_ulps(y, hi, lo);
                if (check) rel = exact.relative(r.fn, x[j], hi, lo);
            } else if (ref == kLongDouble) {
                const long double v = sine ? std::sin(static_cast<long double>(x[j]))
                                           : std::cos(static_cast<long double>(x[j]));
                e = ld_ulps(y, v);
                if (check) rel = exact.relative(r.fn, x[j], v);
            } else {
                e = exact.ulps(r.fn, x[j], y);
            }
            t.reference_error = std::fmax(t.reference_error, rel);
            t.note(x[j], e, ref);
        }
    }
}

// The x87 expl throughout (about 2^-63); the routine, where there is one, for
// the share of lanes it answers.
void tail_exp(const Range &r, const lv::VectorKernel *k, Share share, TailTally &t) {
    Exact exact;
    const double log_span = r.log_uniform ? std::log2(r.hi / r.lo) : 0.0;
    const double below_hi = std::nextafter(r.hi, -kInf);
    for (uint64_t b = share.first; b < share.blocks; b += share.stride) {
        Draws d{seed_of(r.name) ^ (b * 0xD1B54A32D192ED03ull)};
        double x[8], candidate[8];
        for (double &v : x) v = draw(r, log_span, below_hi, d);
        if (k != nullptr) t.answered += 8 - static_cast<uint64_t>(std::popcount(lv::vector_probe(*k).exp_raw(x, candidate, false) & 0xff));
        for (int j = 0; j < 8; ++j) {
            const double y = std::exp(x[j]);
            const long double v = std::exp(static_cast<long double>(x[j]));
            if (b * 8 + static_cast<uint64_t>(j) < kReferenceChecked)
                t.reference_error = std::fmax(t.reference_error, exact.relative(r.fn, x[j], v));
            t.note(x[j], ld_ulps(y, v), kLongDouble);
        }
    }
}

struct RangeResult {
    double largest = 0.0, largest_at = 0.0;  // error in ulp, MPFR's, of the largest case
    double seconds = 0.0;
};

RangeResult measure(const Range &r, const lv::VectorKernel *k, uint64_t n, int threads, bool &bad_reference) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t blocks = (n + 7) / 8;
    std::vector<TailTally> tallies(static_cast<size_t>(threads));
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        const Share share{static_cast<uint64_t>(i), static_cast<uint64_t>(threads), blocks};
        TailTally &t = tallies[static_cast<size_t>(i)];
        // MPFR keeps its constants per thread; a thread that ends must free its own.
        if (r.fn == Fn::exp)
            pool.emplace_back([&r, k, share, &t] { tail_exp(r, k, share, t); mpfr_free_cache(); });
        else
            pool.emplace_back([&r, k, share, &t] { tail_trig(r, *k, share, t); mpfr_free_cache(); });
    }
    for (std::thread &th : pool) th.join();
    TailTally all;
    std::vector<Case> cases;
    for (const TailTally &t : tallies) {
        all.arguments += t.arguments;
        all.answered += t.answered;
        for (int i = 0; i < kReferences; ++i) all.by[i] += t.by[i];
        for (int i = 0; i < kBins; ++i) all.histogram[i] += t.histogram[i];
        all.reference_error = std::fmax(all.reference_error, t.reference_error);
        for (const Case &c : t.top)
            if (c.excess > -kInf) cases.push_back(c);
    }
    std::sort(cases.begin(), cases.end(), [](const Case &a, const Case &b) { return a.excess > b.excess; });
    if (cases.size() > kKept) cases.resize(kKept);

    double lo, hi;
    magnitudes(r, lo, hi);
    const double delta = delta_of(r);
    std::printf("\n%s: %s, %s%s in [%.6g, %.6g), %s; the library's path: %s\n", r.name.c_str(), fn_name(r.fn),
                r.both_signs ? "|x|" : "x", r.both_signs ? " (either sign)" : "", r.lo, r.hi,
                r.log_uniform ? "log-uniform" : "uniform", r.path);
    const auto percent = [&all](uint64_t v) { return 100.0 * static_cast<double>(v) / static_cast<double>(all.arguments); };
    std::printf("  %" PRIu64 " arguments; reference:", all.arguments);
    for (int i = 0; i < kReferences; ++i)
        if (all.by[i] != 0) std::printf(" %s %.2f%%", kReferenceNames[i], percent(all.by[i]));
    std::printf("; on the first %" PRIu64 " within 2^%.1f of MPFR\n",
                std::min<uint64_t>(kReferenceChecked, all.arguments), std::log2(all.reference_error));
    if (all.reference_error > kReferenceBound) {
        std::printf("  THE REFERENCE IS WORSE THAN 2^%.0f: the figures below do not hold\n", std::log2(kReferenceBound));
        bad_reference = true;
    }
    if (k != nullptr)
        std::printf("  the routine answers %.2f%% of these results itself (margin %g ulp)\n", percent(all.answered), delta);
    std::printf("  past half an ulp, by excess:");
    double from = 0.0;
    for (int i = 0; i < kBins; ++i) {
        std::printf(" [%g, %g) %" PRIu64, from, kExcessEdges[i], all.histogram[i]);
        from = kExcessEdges[i];
    }
    std::printf("\n");
    // Every kept case again, against MPFR: the figures reported are MPFR's.
    struct Rechecked {
        double x, y, error, reference;
    };
    std::vector<Rechecked> rechecked;
    Exact exact;
    for (const Case &c : cases) {
        double y, other;
        if (r.fn == Fn::exp) y = std::exp(c.x);
        else if (r.fn == Fn::sin) ::sincos(c.x, &y, &other);
        else ::sincos(c.x, &other, &y);
        rechecked.push_back(Rechecked{c.x, y, exact.ulps(r.fn, c.x, y), c.excess + 0.5});
    }
    std::sort(rechecked.begin(), rechecked.end(),
              [](const Rechecked &a, const Rechecked &b) { return a.error > b.error; });
    RangeResult result;
    if (!rechecked.empty()) {
        result.largest = rechecked.front().error;
        result.largest_at = rechecked.front().x;
        // A case left out lies below the last one kept by more than the
        // reference's error, when this gap exceeds twice that error.
        std::printf("  the %zu largest by the reference rechecked with MPFR at 256 bits: the largest lies %.6f ulp "
                    "above the last kept; the reference's error, %.6f ulp at most where checked\n",
                    rechecked.size(), result.largest - 0.5 - cases.back().excess,
                    all.reference_error * 0x1p53);
    }
    std::printf("  the %d largest (x, the library's result, error in ulp by MPFR and by the reference):\n", kTop);
    for (size_t i = 0; i < rechecked.size() && i < kTop; ++i)
        std::printf("    %-24a %-24a %.6f %.6f\n", rechecked[i].x, rechecked[i].y, rechecked[i].error,
                    rechecked[i].reference);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("  largest %.6f ulp at %a: excess %.6f, margin %g, 1.5 times the excess %.6f: %s; %.1f s\n",
                result.largest, result.largest_at, result.largest - 0.5, delta, 1.5 * (result.largest - 0.5),
                1.5 * (result.largest - 0.5) < delta ? "covered" : "NOT COVERED", result.seconds);
    std::fflush(stdout);
    return result;
}

// Every range named in `only` (range names, or sin, cos, exp for all of a function's), or all.
int tail(uint64_t n, int threads, const std::vector<Range> &ranges, bool fail_at) {
    const lv::VectorKernel *k = lv::vector_kernel(0);
    for (const Range &r : ranges)
        if (r.fn != Fn::exp && k == nullptr) {
            std::printf("no vector kernel in this build or on this CPU: its hi + lo is the sines' and "
                        "cosines' reference\n");
            return kSkipped;
        }
    std::printf("the library's error past half an ulp: %" PRIu64 " arguments per range, %d threads\n", n, threads);
    std::printf("every |x| past %g goes to the library whatever its rounding: no range reaches past it\n",
                data::kMaxArgument);
    const auto start = std::chrono::steady_clock::now();
    std::vector<RangeResult> results;
    bool bad_reference = false;
    for (const Range &r : ranges) results.push_back(measure(r, k, n, threads, bad_reference));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("\n| range | \\|x\\| | largest error (ulp) | excess x 1.5 | margin | time (s) |\n"
                "|---|---|---|---|---|---|\n");
    int status = bad_reference ? 1 : 0;
    for (size_t i = 0; i < ranges.size(); ++i) {
        const Range &r = ranges[i];
        const RangeResult &v = results[i];
        double lo, hi;
        magnitudes(r, lo, hi);
        const double delta = delta_of(r);
        const bool covered = 1.5 * (v.largest - 0.5) < delta;
        std::printf("| %s | [%.6g, %.6g) | %.6f | %.6f | %g%s | %.1f |\n", r.name.c_str(), lo, hi, v.largest,
                    1.5 * (v.largest - 0.5), delta, covered ? "" : " NOT COVERED", v.seconds);
        if (fail_at && !covered) status = 1;
    }
    std::printf("%.1f s in all\n", seconds);
    return status;
}

int tail_main(int argc, char **argv) {
    uint64_t n = 0;
    int threads = 1;
    bool fail_at = false;
    std::vector<std::string> only;
    std::vector<double> numbers;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--fail-at") {
            fail_at = true;
        } else if (a == "--only" && i + 1 < argc) {
            for (std::string list = argv[++i]; !list.empty();) {
                const size_t comma = list.find(',');
                only.push_back(list.substr(0, comma));
                list = comma == std::string::npos ? "" : list.substr(comma + 1);
            }
        } else if (i == 2) {
            n = std::strtoull(argv[i], nullptr, 10);
        } else {
            char *end = nullptr;
            numbers.push_back(std::strtod(argv[i], &end));
            if (*end != '\0') return -1;
        }
    }
    std::vector<Range> ranges;
    if (numbers.size() >= 2) {
        // x itself uniform in [LO, HI), both functions.
        const double lo = numbers[0], hi = numbers[1];
        if (!(lo < hi)) return -1;
        char name[64];
        for (const Fn f : {Fn::sin, Fn::cos}) {
            std::snprintf(name, sizeof name, "%s [%g, %g]", fn_name(f), lo, hi);
            ranges.push_back(Range{name, f, lo, hi, false, false, "several paths"});
        }
    } else {
        for (const Range &r : library_ranges()) {
            bool wanted = only.empty();
            for (const std::string &o : only) wanted = wanted || o == r.name || o == fn_name(r.fn);
            if (wanted) ranges.push_back(r);
        }
    }
    for (const std::string &o : only) {
        bool known = o == "sin" || o == "cos" || o == "exp";
        for (const Range &r : library_ranges()) known = known || o == r.name;
        if (!known) return -1;
    }
    if (numbers.size() == 1 || numbers.size() == 3) threads = static_cast<int>(numbers.back());
    if (n == 0 || threads < 1 || numbers.size() > 3 || ranges.empty()) return -1;
    return tail(n, threads, ranges, fail_at);
}

// Relative error of hi + lo against MPFR.
double relative_error(mpfr_t exact, double hi, double lo) {
    mpfr_t d;
    mpfr_init2(d, 300);
    mpfr_sub_d(d, exact, hi, MPFR_RNDN);
    mpfr_sub_d(d, d, lo, MPFR_RNDN);
    mpfr_div(d, d, exact, MPFR_RNDN);
    const double e = std::fabs(mpfr_get_d(d, MPFR_RNDN));
    mpfr_clear(d);
    return e;
}

int accuracy(uint64_t n) {
    if (lv::vector_kernel(0) == nullptr) {
        std::printf("no vector kernel in this build or on this CPU: nothing to measure\n");
        return kSkipped;
    }
    int status = 0;
    mpfr_t x, sv, cv;
    mpfr_inits2(300, x, sv, cv, static_cast<mpfr_ptr>(nullptr));
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) {
        for (const Kind kind : {kUniformRun, kUniformWide, kNearQuarterPi, kNearTableStep}) {
            Draws d{0xABCDEF0123456789ull + static_cast<uint64_t>(kind)};
            double worst = 0.0, worst_at = 0.0;
            uint64_t taken = 0;
            for (uint64_t b = 0; b < n / 8; ++b) {
                double xs[8], sh[8], sl[8], ch[8], cl[8];
                for (double &v : xs) v = argument(kind, d, b);
                uint32_t library = 0;
                library = lv::vector_probe(*k).raw(xs, sh, sl, ch, cl, false);
                for (int j = 0; j < 8; ++j) {
                    // Only the results the routine answers.
                    const bool sine = (library >> j & 1) == 0, cosine = (library >> (8 + j) & 1) == 0;
                    if (!sine && !cosine) continue;
                    ++taken;
                    mpfr_set_d(x, xs[j], MPFR_RNDN);
                    mpfr_sin_cos(sv, cv, x, MPFR_RNDN);
                    for (const double e : {sine ? relative_error(sv, sh[j], sl[j]) : 0.0,
                                           cosine ? relative_error(cv, ch[j], cl[j]) : 0.0})
                        if (e > worst) {
                            worst = e;
                            worst_at = xs[j];
                        }
                }
            }
            std::printf("%s, %s: %" PRIu64 " lanes answered, largest relative error 2^%.2f (at %a); bound 2^%.0f\n",
                        k->name, kKindNames[kind], taken, std::log2(worst), worst_at, std::log2(data::kOwnError));
            if (worst > data::kOwnError) status = 1;
        }
        // The exponentials in the routine's range: hi + lo against e^x / 2^m.
        Draws d{0x5EED0E4Bull};
        double worst = 0.0, worst_at = 0.0;
        uint64_t taken = 0;
        for (uint64_t b = 0; b < n / 8; ++b) {
            double xs[8], hi[8], lo[8], scale[8];
            for (uint64_t j = 0; j < 8; ++j) xs[j] = exp_argument(d, b * 8 + j);
            lv::vector_probe(*k).exp_pairs(xs, hi, lo, scale);
            for (int j = 0; j < 8; ++j) {
                if (!(xs[j] >= data::kExpLowest && xs[j] <= data::kExpHighest)) continue;
                ++taken;
                mpfr_set_d(x, xs[j], MPFR_RNDN);
                mpfr_exp(sv, x, MPFR_RNDN);
                mpfr_div_d(sv, sv, scale[j], MPFR_RNDN);  // exact: a power of two
                const double e = relative_error(sv, hi[j], lo[j]);
                if (e > worst) {
                    worst = e;
                    worst_at = xs[j];
                }
            }
        }
        std::printf("%s, exponentials: %" PRIu64 " lanes, largest relative error 2^%.2f (at %a); bound 2^%.0f\n",
                    k->name, taken, std::log2(worst), worst_at, std::log2(data::kOwnError));
        if (worst > data::kOwnError) status = 1;
    }
    mpfr_clears(x, sv, cv, static_cast<mpfr_ptr>(nullptr));
    return status;
}

int table(bool print) {
    int status = 0;
    mpfr_t pi, step, t, s, rest;
    mpfr_inits2(400, pi, step, t, s, rest, static_cast<mpfr_ptr>(nullptr));
    mpfr_const_pi(pi, MPFR_RNDN);
    mpfr_div_ui(step, pi, 512, MPFR_RNDN);
    const auto check = [&status](const char *what, double have, double want) {
        if (!same(have, want)) {
            std::printf("%s: %a, MPFR gives %a\n", what, have, want);
            status = 1;
        }
    };
    mpfr_ui_div(t, 512, pi, MPFR_RNDN);
    check("512/pi", data::kInvStep, mpfr_get_d(t, MPFR_RNDN));
    mpfr_set(rest, step, MPFR_RNDN);
    const double s1 = rounded_to(rest, 37);
    mpfr_sub_d(rest, rest, s1, MPFR_RNDN);
    const double s2 = rounded_to(rest, 37);
    mpfr_sub_d(rest, rest, s2, MPFR_RNDN);
    check("pi/512, first part", data::kStep1, s1);
    check("pi/512, second part", data::kStep2, s2);
    check("pi/512, third part", data::kStep3, mpfr_get_d(rest, MPFR_RNDN));
    for (int j = 0; j <= 256; ++j) {
        double hi = 0.0, lo = 0.0;
        if (j == 256) {
            hi = 1.0;  // exact, as sin(0) is
        } else if (j > 0) {
            mpfr_mul_ui(t, step, static_cast<unsigned long>(j), MPFR_RNDN);
            mpfr_sin(s, t, MPFR_RNDN);
            hi = mpfr_get_d(s, MPFR_RNDN);
            mpfr_sub_d(s, s, hi, MPFR_RNDN);
            lo = mpfr_get_d(s, MPFR_RNDN);
        }
        if (print) std::printf("    {%a, %a},\n", hi, lo);
        check("sin(j pi/512), hi", data::kQuarter.v[j][0], hi);
        check("sin(j pi/512), lo", data::kQuarter.v[j][1], lo);
    }
    // Every column of every row of the whole turn, not only the quarter the
    // rows are made from: a slip in the symmetries would show only here.
    const auto pair = [&](double &hi, double &lo) {
        hi = mpfr_get_d(s, MPFR_RNDN);
        mpfr_sub_d(rest, s, hi, MPFR_RNDN);
        lo = mpfr_get_d(rest, MPFR_RNDN);
    };
    for (int j = 0; j < 1024; ++j) {
        double want[4] = {};  // {sin hi, sin lo, cos hi, cos lo}; the zeros exact
        mpfr_mul_ui(t, step, static_cast<unsigned long>(j), MPFR_RNDN);
        mpfr_sin(s, t, MPFR_RNDN);
        if (j % 512 != 0) pair(want[0], want[1]);
        mpfr_cos(s, t, MPFR_RNDN);
        if ((j + 256) % 512 != 0) pair(want[2], want[3]);
        for (int col = 0; col < 4; ++col)
            if (data::kRows.v[j][col] != want[col]) {
                std::printf("row %d, %s %s: %a, MPFR gives %a\n", j, col < 2 ? "sin" : "cos",
                            col % 2 == 0 ? "hi" : "lo", data::kRows.v[j][col], want[col]);
                status = 1;
            }
    }
    // The exponential's: 128/ln2; ln2/128 as two parts of at most 35
    // significant bits (so that k times each is exact for |k| < 2^18) and the
    // double nearest the rest, the three within 2^-127 of it; and both
    // columns of 2^(j/128).
    mpfr_const_log2(t, MPFR_RNDN);
    mpfr_ui_div(s, 128, t, MPFR_RNDN);
    check("128/ln2", data::kExpInvStep, mpfr_get_d(s, MPFR_RNDN));
    const auto significant_bits = [](double v) {
        const uint64_t m = (std::bit_cast<uint64_t>(v) & 0x000fffffffffffffull) | (1ull << 52);
        return v == 0.0 ? 0 : 53 - std::countr_zero(m);
    };
    for (const double part : {data::kExpStep1, data::kExpStep2})
        if (significant_bits(part) > 35) {
            std::printf("ln2/128: the part %a has %d significant bits\n", part, significant_bits(part));
            status = 1;
        }
    mpfr_div_ui(rest, t, 128, MPFR_RNDN);
    mpfr_set(s, rest, MPFR_RNDN);
    mpfr_sub_d(rest, rest, data::kExpStep1, MPFR_RNDN);
    mpfr_sub_d(rest, rest, data::kExpStep2, MPFR_RNDN);
    check("ln2/128, third part", data::kExpStep3, mpfr_get_d(rest, MPFR_RNDN));
    mpfr_sub_d(rest, rest, data::kExpStep3, MPFR_RNDN);
    mpfr_div(rest, rest, s, MPFR_RNDN);
    mpfr_abs(rest, rest, MPFR_RNDN);
    if (mpfr_cmp_ui_2exp(rest, 1, -127) > 0) {
        std::printf("ln2/128: its three parts are 2^%.1f off\n", std::log2(std::fabs(mpfr_get_d(rest, MPFR_RNDN))));
        status = 1;
    }
    for (int j = 0; j < 128; ++j) {
        mpfr_set_si(t, j, MPFR_RNDN);
        mpfr_div_ui(t, t, 128, MPFR_RNDN);
        mpfr_exp2(s, t, MPFR_RNDN);
        double hi, lo;
        pair(hi, lo);
        if (data::kExpRows.v[j][0] != hi || data::kExpRows.v[j][1] != lo) {
            std::printf("exponential row %d: %a %a, MPFR gives %a %a\n", j, data::kExpRows.v[j][0],
                        data::kExpRows.v[j][1], hi, lo);
            status = 1;
        }
    }
    mpfr_clears(pi, step, t, s, rest, static_cast<mpfr_ptr>(nullptr));
    if (!print)
        std::printf("the quarter (257 pairs), the rows (1024 x 4), the exponential's rows (128 x 2) and the "
                    "reductions' constants: %s\n",
                    status == 0 ? "as MPFR gives them" : "DIFFER");
    return status;
}

int usage() {
    std::fprintf(stderr,
                 "usage: validate_sincos compare N [THREADS] | hard | tail N [THREADS] [--only NAMES] [--fail-at] | "
                 "tail N LO HI [THREADS] | accuracy N | table [--print]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto count = [&](int i) { return argc > i ? std::strtoull(argv[i], nullptr, 10) : 0; };
    if (mode == "compare" && argc >= 3)
        return compare(count(2), argc > 3 ? static_cast<int>(count(3)) : 1);
    if (mode == "hard") return hard();
    if (mode == "tail" && argc >= 3) {
        const int status = tail_main(argc, argv);
        return status < 0 ? usage() : status;
    }
    if (mode == "accuracy" && argc == 3) return accuracy(count(2));
    if (mode == "table") return table(argc > 2 && std::strcmp(argv[2], "--print") == 0);
    return usage();
}
