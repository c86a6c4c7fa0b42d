// policy.cpp: the math mode, and which path each mode's sines, cosines and exponentials take on this machine.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "math/correct.h"
#include "math/internal.h"

namespace lv {

namespace {

std::atomic<int32_t> mode{static_cast<int32_t>(MathMode::system)};

// The C library releases whose sin and cos the margin was measured on, or
// shares their sources with: the double-precision sin and cos did not change
// from 2.36 through 2.42 (docs/design.md says how to add a release).
bool library_accepted(std::string &name) {
#if defined(__GLIBC__)
    const char *v = gnu_get_libc_version();
    name = std::string("glibc ") + v;
    return release_covered(v);
#else
    name = "a C library other than glibc";
    return false;
#endif
}

// AVX-512 pays where its registers are 256 bits wide inside (AMD's Zen 4,
// on which a block of eight measured faster in eight lanes than in two sets
// of four); on Intel cores the eight-lane routine makes the sweep slower than
// the four-lane one (docs/performance.md).
bool eight_lanes_pay() {
#if defined(__x86_64__)
    return __builtin_cpu_is("amd");
#else
    return false;
#endif
}

enum class Request { automatic, scalar, kernel, unknown };

struct Asked {
    Request request = Request::automatic;
    const char *value = "";
};

std::atomic<bool> requests_heard{true};

Asked asked() {
    if (!requests_heard.load(std::memory_order_relaxed)) return Asked{Request::automatic, "auto"};
    const char *v = std::getenv("LUMIVANE_SINCOS");
    if (v == nullptr || *v == '\0' || std::strcmp(v, "auto") == 0) return Asked{Request::automatic, "auto"};
    if (std::strcmp(v, "scalar") == 0) return Asked{Request::scalar, v};
    if (vector_path(v) != nullptr) return Asked{Request::kernel, v};
    return Asked{Request::unknown, v};
}

SinCos8 block_of(const VectorKernel &k, MathMode m) { return m == MathMode::system ? k.system : k.correct; }

// Whether kernel k may serve mode m here: built as written and equal to the
// mode's reference on every hard argument; `why` says why not.
bool usable(const VectorKernel &k, MathMode m, std::string &why) {
    if (!k.as_written()) {
        why = std::string(k.name) + " built with contracted arithmetic";
        return false;
    }
    const SinCos8 reference = m == MathMode::system ? sincos8_scalar : sincos8_correct_scalar;
    const Exp8 exp = m == MathMode::system ? k.exp_system : k.exp_correct;
    if (sincos8_checked(block_of(k, m), reference) != block_of(k, m) ||
        exp8_checked(exp, m == MathMode::system ? exp8_scalar : exp8_correct_scalar) != exp) {
        why = std::string("the first-use check refused ") + k.name;
        return false;
    }
    return true;
}

struct Choice {
    SinCos8 block = nullptr;
    Exp8 exp8 = nullptr;
    std::string path;     // for --version and the summary
    std::string problem;  // what was asked and cannot be had; empty when none
};

Choice choose(MathMode m) {
    const SinCos8 scalar = m == MathMode::system ? sincos8_scalar : sincos8_correct_scalar;
    const Exp8 scalar_exp = m == MathMode::system ? exp8_scalar : exp8_correct_scalar;
    std::string library;
    const bool accepted = library_accepted(library);
    // What the path depends on besides itself: the library, or nothing.
    const std::string basis = m == MathMode::system ? library : "correctly rounded";
    const Asked a = asked();
    Choice c;
    // Kernel k's functions, or the scalar ones when k is null.
    const auto take = [&c, m, scalar, scalar_exp](const VectorKernel *k, std::string path) {
        c.block = k == nullptr ? scalar : block_of(*k, m);
        c.exp8 = k == nullptr ? scalar_exp : m == MathMode::system ? k->exp_system : k->exp_correct;
        c.path = std::move(path);
        return c;
    };
    if (a.request == Request::unknown) {
        c.problem = std::string("LUMIVANE_SINCOS=") + a.value + " is not one of auto, scalar";
        for (const VectorPath &p : vector_paths()) c.problem += std::string(", ") + p.name;
    }
    if (a.request == Request::scalar) return take(nullptr, "scalar (" + basis + ", LUMIVANE_SINCOS=scalar)");
    // The narrowest kernel (avx2, neon) and the wider one (avx512), where this build and CPU have them.
    const VectorKernel *avx2 = vector_kernel(0), *avx512 = vector_kernel(1);
    const std::string target = build_processor();
    std::string why;
    if (avx2 == nullptr && !LUMIVANE_VECTOR_MATH)
        why = "built without the vector routine";
    else if (avx2 == nullptr)
        why = target == "x86-64" ? "the CPU lacks AVX2 and FMA" : "no vector routine for " + target;
    // The margins rest on the library's error as measured on x86-64; elsewhere
    // its sin, cos and exp are other builds (other variants, other contraction).
    else if (m == MathMode::system && target != "x86-64")
        why = "the library's margin is measured on x86-64, not " + target;
    else if (m == MathMode::system && !accepted)
        why = library + " is not a release the margin covers";
    if (a.request == Request::kernel) {
        const VectorKernel *k = vector_kernel(a.value);
        std::string refused;
        const VectorPath &path = *vector_path(a.value);
        if (path.processor != target)
            refused = std::string(a.value) + " is a path for " + path.processor + ", and this build is for " + target;
        else if (k == nullptr)
            refused = why.empty() ? std::string("the CPU lacks ") + path.needs : why;
        else if (!why.empty())
            refused = why;
        else if (usable(*k, m, refused))
            return take(k, std::string(k->name) + " (" + basis + ", LUMIVANE_SINCOS=" + a.value + ")");
        c.problem = std::string("LUMIVANE_SINCOS=") + a.value + " cannot run here: " + refused;
    }
    if (!why.empty()) return take(nullptr, "scalar (" + why + ")");
    // The preferred kernel first, then the other; the first to pass the check.
    const VectorKernel *order[2] = {avx2, avx512};
    if (avx512 != nullptr && eight_lanes_pay()) {
        order[0] = avx512;
        order[1] = avx2;
    }
    std::string refused;
    for (const VectorKernel *k : order)
        if (k != nullptr && usable(*k, m, refused)) return take(k, std::string(k->name) + " (" + basis + ")");
    return take(nullptr, "scalar (" + refused + ")");
}

// Made in place and never moved: math.path points into choice.path.
struct Chosen {
    Choice choice;
    SweepMath math;
    explicit Chosen(MathMode m) : choice(choose(m)) {
        math.sincos8 = choice.block;
        math.exp8 = choice.exp8;
        math.exp = m == MathMode::system ? library_exp : cr_exp;
        math.path = choice.path.c_str();
    }
    Chosen(const Chosen &) = delete;
    Chosen &operator=(const Chosen &) = delete;
};

}  // namespace

double library_exp(double x) { return std::exp(x); }

// "2.NN" and nothing else: a snapshot between releases ("2.42.9000") may
// carry any change, and the margin rests on the released sources.
bool release_covered(const char *v) {
    if (v == nullptr || v[0] != '2' || v[1] != '.') return false;
    int minor = 0, digits = 0;
    for (const char *p = v + 2; *p != '\0'; ++p, ++digits) {
        if (*p < '0' || *p > '9' || digits == 3) return false;
        minor = minor * 10 + (*p - '0');
    }
    return digits > 0 && minor >= 36 && minor <= 42;
}

MathMode math_mode() { return static_cast<MathMode>(mode.load(std::memory_order_relaxed)); }

const char *mode_problem(MathMode m) {
    if (m == MathMode::correct && !cr_as_written())
        return "the correctly rounded functions were built with contracted arithmetic";
    return nullptr;
}

bool set_math_mode(int32_t m) {
    if (m != static_cast<int32_t>(MathMode::system) && m != static_cast<int32_t>(MathMode::correct)) return false;
    if (mode_problem(static_cast<MathMode>(m)) != nullptr) return false;
    mode.store(m, std::memory_order_relaxed);
    return true;
}

const char *math_mode_name(MathMode m) { return m == MathMode::correct ? "correct" : "system"; }

namespace {

const Chosen &chosen(MathMode m) {
    if (m == MathMode::correct) {
        static const Chosen correct{MathMode::correct};
        return correct;
    }
    static const Chosen system{MathMode::system};
    return system;
}

}  // namespace

const SweepMath &sweep_math(MathMode m) {
    const Chosen &c = chosen(m);
    // A host's library cannot refuse its caller: it takes auto, and says so
    // once (lumivane-replay refuses such a request before it runs).
    // A word, not a bool: a byte's exchange is a libatomic call on some
    // processors (riscv64), a word's an instruction on every one.
    static std::atomic<int> said{0};
    if (!c.choice.problem.empty() && said.exchange(1) == 0)
        std::fprintf(stderr, "lumivane: %s; taking auto\n", c.choice.problem.c_str());
    return c.math;
}

void ignore_path_request() { requests_heard.store(false, std::memory_order_relaxed); }

const char *path_request_problem(MathMode m) {
    const std::string &p = chosen(m).choice.problem;
    return p.empty() ? nullptr : p.c_str();
}

}  // namespace lv
