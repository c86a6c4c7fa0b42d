// The block of eight sines and cosines: the library's sincos eight times against each vector kernel,
// on the run's kind of arguments (uniform in [-13, 7]) and on arguments that drift slightly between
// calls, as an RK4 step's four stages do.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "math/sincos8.h"

namespace {

std::vector<double> arguments(bool drifting) {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    std::vector<double> x(1 << 16);
    for (size_t i = 0; i < x.size(); ++i) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        const double u = static_cast<double>(s >> 11) * 0x1p-53;
        // Drifting: each block of eight repeats the one before, moved by about 1e-4.
        x[i] = drifting && i >= 8 && (i / 8) % 4 != 0 ? x[i - 8] + 1e-4 * u : -13.0 + 20.0 * u;
    }
    return x;
}

void run(benchmark::State &state, lv::SinCos8 f, bool drifting) {
    const std::vector<double> x = arguments(drifting);
    double s[8], c[8];
    size_t i = 0;
    for (auto _ : state) {
        f(x.data() + i, s, c);
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(c);
        i = (i + 8) & (x.size() - 1);
    }
    state.SetItemsProcessed(state.iterations() * 8);
}

// kernel: -1 the scalar reference, 0 and 1 the vector kernels; rule: 0 the library's bits, 1 correctly rounded.
const lv::VectorKernel *kernel_for(benchmark::State &state) {
    const int kernel = static_cast<int>(state.range(0));
    const lv::VectorKernel *k = kernel < 0 ? nullptr : lv::vector_kernel(kernel);
    if (kernel >= 0 && k == nullptr) state.SkipWithError("kernel not available");
    state.SetLabel(std::string(k == nullptr ? "scalar" : k->name) + (state.range(1) != 0 ? " correct" : " system"));
    return k;
}

void BM_SinCos8(benchmark::State &state) {
    const lv::VectorKernel *k = kernel_for(state);
    if (state.range(0) >= 0 && k == nullptr) return;
    const bool correct = state.range(1) != 0;
    const lv::SinCos8 f = k == nullptr ? (correct ? lv::sincos8_correct_scalar : lv::sincos8_scalar)
                                       : (correct ? k->correct : k->system);
    run(state, f, state.range(2) != 0);
}
BENCHMARK(BM_SinCos8)->ArgsProduct({{-1, 0, 1}, {0, 1}, {0, 1}})->ArgNames({"kernel", "correct", "drifting"});

// The couplings' exponentials: arguments -|1 - a/b| for amplitudes of similar size.
void BM_Exp8(benchmark::State &state) {
    const lv::VectorKernel *k = kernel_for(state);
    if (state.range(0) >= 0 && k == nullptr) return;
    const bool correct = state.range(1) != 0;
    const lv::Exp8 f = k == nullptr ? (correct ? lv::exp8_correct_scalar : lv::exp8_scalar)
                                    : (correct ? k->exp_correct : k->exp_system);
    std::vector<double> x = arguments(false);
    for (double &v : x) v = -std::fabs(v) / 4.0;
    double y[8];
    size_t i = 0;
    for (auto _ : state) {
        f(x.data() + i, y);
        benchmark::DoNotOptimize(y);
        i = (i + 8) & (x.size() - 1);
    }
    state.SetItemsProcessed(state.iterations() * 8);
}
BENCHMARK(BM_Exp8)->ArgsProduct({{-1, 0, 1}, {0, 1}})->ArgNames({"kernel", "correct"});

}  // namespace

BENCHMARK_MAIN();
