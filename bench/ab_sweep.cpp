// ab_sweep.cpp: two builds of the library compared in one process, sweep by
// sweep, on the same run-like lattice (see the README's performance notes).
//
//   ab_sweep A.so B.so [SWEEPS]
//
// Each build is loaded with RTLD_LOCAL, so their symbols stay apart, and gets
// its own lattice made from the same seed; their sweeps then alternate. The
// build loaded second runs a few per cent faster on its own, so run it with
// the builds in both orders and take the geometric mean of the two ratios.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_lattice.h"

namespace {

struct Build {
    const char *path = nullptr;
    lvbench::Ops ops{};
    void (*release)(Lattice *) = nullptr;
    Lattice *lattice = nullptr;
    std::vector<double> ms;
};

template <class F>
bool bind(void *lib, const char *name, F &fn) {
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (fn == nullptr) std::fprintf(stderr, "ab_sweep: %s: %s\n", name, dlerror());
    return fn != nullptr;
}

bool load(Build &b) {
    void *lib = dlopen(b.path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "ab_sweep: %s\n", dlerror());
        return false;
    }
    if (!bind(lib, "lattice_init", b.ops.init) || !bind(lib, "lattice_integrate_rk4", b.ops.sweep) ||
        !bind(lib, "lattice_fold", b.ops.fold) || !bind(lib, "lattice_free", b.release))
        return false;
    b.lattice = lvbench::prepared(true, b.ops);
    return b.lattice != nullptr;
}

double timed_sweep(Build &b) {
    const auto t0 = std::chrono::steady_clock::now();
    b.ops.sweep(b.lattice, lvbench::kStep);
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 != 0 ? v[m] : (v[m - 1] + v[m]) / 2.0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ab_sweep A.so B.so [SWEEPS]\n");
        return 2;
    }
    const int sweeps = argc > 3 ? std::atoi(argv[3]) : 300;
    Build a, b;
    a.path = argv[1];
    b.path = argv[2];
    if (!load(a) || !load(b) || sweeps < 1) return 1;
    // Alternate which build goes first in a pair, so neither always follows the other.
    for (int i = 0; i < sweeps; ++i) {
        if (i % 2 == 0) {
            a.ms.push_back(timed_sweep(a));
            b.ms.push_back(timed_sweep(b));
        } else {
            b.ms.push_back(timed_sweep(b));
            a.ms.push_back(timed_sweep(a));
        }
    }
    std::vector<double> ratio;
    for (int i = 0; i < sweeps; ++i) ratio.push_back(b.ms[i] / a.ms[i]);
    std::printf("A %s: median %.3f ms per sweep\n", a.path, median(a.ms));
    std::printf("B %s: median %.3f ms per sweep\n", b.path, median(b.ms));
    std::printf("B/A: median of the pairs' ratios %.4f over %d sweeps each\n", median(ratio), sweeps);
    a.release(a.lattice);
    b.release(b.lattice);
    return 0;
}
