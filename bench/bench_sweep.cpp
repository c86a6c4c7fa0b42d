// bench_sweep.cpp: materialisation, the product's sweep beside the plain
// reference, and the floor of the calls every slot step must make.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

#include "reference_sweep.h"

namespace {

constexpr double kStep = 3.0517578125e-05;

// A run-like lattice: 4096 x 4 after a few sweeps, optionally folded.
Lattice *prepared(bool folded) {
    srand(20261207u);
    Lattice *l = lattice_init(4096, 4);
    for (int i = 0; i < 3; ++i) lattice_integrate_rk4(l, kStep);
    if (folded) lattice_fold(l);
    return l;
}

void BM_Materialise(benchmark::State &state) {
    for (auto _ : state) {
        Lattice *l = lattice_init(4096, 4);
        benchmark::DoNotOptimize(lattice_get_slot(l, 0));
        state.PauseTiming();
        lattice_free(l);
        state.ResumeTiming();
    }
}

void BM_Release(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        Lattice *l = lattice_init(4096, 4);
        lattice_get_slot(l, 0);
        state.ResumeTiming();
        lattice_free(l);
    }
}

template <bool Fast>
void BM_Sweep(benchmark::State &state) {
    Lattice *l = prepared(state.range(0) == 32768);
    for (auto _ : state) {
        if constexpr (Fast)
            lattice_integrate_rk4(l, kStep);
        else
            lvref::sweep(l, kStep);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    lattice_free(l);
}

// What no implementation can avoid per slot step: 32 sincos, 9 exp, one fmod
// and 8 rand draws, on arguments like the sweep's.
void BM_Floor(benchmark::State &state) {
    const int64_t slots = state.range(0);
    double acc = 0.0;
    for (auto _ : state) {
        for (int64_t c = 0; c < slots; ++c) {
            const double base = static_cast<double>(c % 97) * 0.061;
            for (int j = 0; j < 32; ++j) {
                double s, co;
                sincos(base - 0.2 * j + acc * 1e-300, &s, &co);
                acc += s + co;
            }
            for (int j = 0; j < 9; ++j) acc += std::exp(-0.37 * j - base * 1e-3);
            acc += std::fmod(base * 137.0 + 1e-3, 6.283185307179586);
            for (int j = 0; j < 8; ++j) acc += rand();
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * slots);
}

}  // namespace

BENCHMARK(BM_Materialise)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Release)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Sweep<true>)->Name("BM_Sweep/fast")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sweep<false>)->Name("BM_Sweep/plain")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor)->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
