// validate_sincos: the sweep's vector sines and cosines against the maths library and MPFR.
//
//   validate_sincos compare N [THREADS]  every kernel against sincos on N arguments; fails on any difference
//   validate_sincos hard                 the first-use check's arguments, through every kernel
//   validate_sincos tail N LO HI         the library's error past half an ulp, arguments uniform in [LO, HI]
//   validate_sincos accuracy N           each kernel's hi + lo against MPFR; fails past its stated bound
//   validate_sincos table [--print]      the table and the reduction's constants against MPFR
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

#include "math/sincos8.h"
#include "math/sincos8_table.h"

namespace {

namespace data = lv::sincos8_data;

constexpr double kInf = std::numeric_limits<double>::infinity();

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
};

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

bool same(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

struct Tally {
    uint64_t lanes[kKinds] = {};
    uint64_t library[kKinds] = {};  // lanes with a sine or a cosine left to the library
    uint64_t results[kKinds] = {};  // sines and cosines left to it
    uint64_t differences = 0;
};

// Arguments i = first, first + stride, ... below n, eight to a block.
void compare_range(const lv::SinCos8Kernel &k, uint64_t first_block, uint64_t stride,
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
        const uint32_t library = k.raw(x, h, l, h, l, false);
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
    }
}

int compare(uint64_t n, int threads) {
    int status = 0;
    if (lv::sincos8_kernel(0) == nullptr) {
        std::printf("no vector kernel in this build or on this CPU: nothing to compare\n");
        return 0;
    }
    for (int i = 0; const lv::SinCos8Kernel *k = lv::sincos8_kernel(i); ++i) {
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
        if (all.differences != 0) status = 1;
    }
    return status;
}

int hard() {
    const lv::HardArguments h = lv::sincos8_hard_arguments();
    int status = 0;
    for (int i = 0; const lv::SinCos8Kernel *k = lv::sincos8_kernel(i); ++i) {
        const bool passes = lv::sincos8_checked(k->system) == k->system;
        std::printf("%s: %s the check on %d hard arguments\n", k->name, passes ? "passes" : "FAILS", h.count);
        if (!passes) status = 1;
    }
    return status;
}

// |t - y| in ulps of y, with t the exact value.
double error_ulps(mpfr_t t, double y) {
    const double u = std::nextafter(std::fabs(y), kInf) - std::fabs(y);
    mpfr_t d;
    mpfr_init2(d, 200);
    mpfr_sub_d(d, t, y, MPFR_RNDN);
    const double e = std::fabs(mpfr_get_d(d, MPFR_RNDN)) / u;
    mpfr_clear(d);
    return e;
}

int tail(uint64_t n, double lo, double hi) {
    mpfr_t x, sv, cv;
    mpfr_inits2(200, x, sv, cv, static_cast<mpfr_ptr>(nullptr));
    Draws d{0x1234567887654321ull};
    constexpr double kEdges[] = {0.001, 0.002, 0.005, 0.01, 0.015, 0.02, 0.03, kInf};
    uint64_t histogram[8] = {};
    double worst = 0.0, worst_at = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
        const double t = lo + (hi - lo) * d.unit();
        double s, c;
        ::sincos(t, &s, &c);
        mpfr_set_d(x, t, MPFR_RNDN);
        mpfr_sin_cos(sv, cv, x, MPFR_RNDN);
        for (const double e : {error_ulps(sv, s), error_ulps(cv, c)}) {
            if (e > worst) {
                worst = e;
                worst_at = t;
            }
            if (e > 0.5) {
                int b = 0;
                while (e - 0.5 >= kEdges[b]) ++b;
                ++histogram[b];
            }
        }
    }
    mpfr_clears(x, sv, cv, static_cast<mpfr_ptr>(nullptr));
    std::printf("%" PRIu64 " arguments uniform in [%g, %g]: largest error %.6f ulp at %.17g\n", n, lo,
                hi, worst, worst_at);
    std::printf("results past half an ulp, by their excess:\n");
    double from = 0.0;
    for (int b = 0; b < 8; ++b) {
        std::printf("  [%g, %g): %" PRIu64 "\n", from, kEdges[b], histogram[b]);
        from = kEdges[b];
    }
    std::printf("margin in use: %g ulp (%s the largest excess seen)\n", data::kDelta,
                worst - 0.5 < data::kDelta ? "above" : "NOT above");
    return worst - 0.5 < data::kDelta ? 0 : 1;
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
    int status = 0;
    mpfr_t x, sv, cv;
    mpfr_inits2(300, x, sv, cv, static_cast<mpfr_ptr>(nullptr));
    for (int i = 0; const lv::SinCos8Kernel *k = lv::sincos8_kernel(i); ++i) {
        for (const Kind kind : {kUniformRun, kUniformWide, kNearQuarterPi, kNearTableStep}) {
            Draws d{0xABCDEF0123456789ull + static_cast<uint64_t>(kind)};
            double worst = 0.0, worst_at = 0.0;
            uint64_t taken = 0;
            for (uint64_t b = 0; b < n / 8; ++b) {
                double xs[8], sh[8], sl[8], ch[8], cl[8];
                for (double &v : xs) v = argument(kind, d, b);
                uint32_t library = 0;
                library = k->raw(xs, sh, sl, ch, cl, false);
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
    }
    mpfr_clears(x, sv, cv, static_cast<mpfr_ptr>(nullptr));
    return status;
}

// A double with at most `bits` significant bits, nearest to v.
double rounded_to(mpfr_t v, int bits) {
    mpfr_t r;
    mpfr_init2(r, bits);
    mpfr_set(r, v, MPFR_RNDN);
    const double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clear(r);
    return d;
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
    // Every row of the whole turn against MPFR too, not only the quarter it is made from.
    for (int j = 0; j < 1024; ++j) {
        mpfr_mul_ui(t, step, static_cast<unsigned long>(j), MPFR_RNDN);
        mpfr_sin(s, t, MPFR_RNDN);
        const double want_sin = j % 512 == 0 ? 0.0 : mpfr_get_d(s, MPFR_RNDN);
        mpfr_cos(s, t, MPFR_RNDN);
        const double want_cos = (j + 256) % 512 == 0 ? 0.0 : mpfr_get_d(s, MPFR_RNDN);
        if (data::kRows.v[j][0] != want_sin || data::kRows.v[j][2] != want_cos) {
            std::printf("row %d: sin %a cos %a, MPFR gives %a %a\n", j, data::kRows.v[j][0],
                        data::kRows.v[j][2], want_sin, want_cos);
            status = 1;
        }
    }
    mpfr_clears(pi, step, t, s, rest, static_cast<mpfr_ptr>(nullptr));
    if (!print) std::printf("table and constants: %s\n", status == 0 ? "as MPFR gives them" : "DIFFER");
    return status;
}

int usage() {
    std::fprintf(stderr,
                 "usage: validate_sincos compare N [THREADS] | hard | tail N LO HI | accuracy N | "
                 "table [--print]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto count = [&](int i) { return argc > i ? std::strtoull(argv[i], nullptr, 10) : 0; };
    if (mode == "compare" && argc >= 3)
        return compare(count(2), argc > 3 ? static_cast<int>(count(3)) : 1);
    if (mode == "hard") return hard();
    if (mode == "tail" && argc == 5) return tail(count(2), std::atof(argv[3]), std::atof(argv[4]));
    if (mode == "accuracy" && argc == 3) return accuracy(count(2));
    if (mode == "table") return table(argc > 2 && std::strcmp(argv[2], "--print") == 0);
    return usage();
}
