// bench_sweep.cpp: materialisation, the product's sweep beside the plain
// reference, and the floor of the calls every slot step must make.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "bench_lattice.h"
#include "reference_sweep.h"

namespace {

using lvbench::kStep;
using lvbench::prepared;

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

enum class Sweep { fast, plain, plain_pow };

template <Sweep Kind>
void BM_Sweep(benchmark::State &state) {
    Lattice *l = prepared(state.range(0) == 32768);
    for (auto _ : state) {
        if constexpr (Kind == Sweep::fast)
            lattice_integrate_rk4(l, kStep);
        else if constexpr (Kind == Sweep::plain)
            lvref::sweep(l, kStep);
        else
            lvref::sweep(l, kStep, lvref::read_with_pow);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    lattice_free(l);
}

// The floor: what no implementation can avoid per slot step, and nothing else:
// 32 sincos (four stages of eight independent calls, each stage waiting on the
// last, as in the step), 9 exp, one fmod and 8 rand draws, on the sweep's own
// angles and coupling exponents from the prepared lattice. Chained, each slot
// also waits on the one before, as the sweep does: the visited slot's left
// neighbour has just been stepped, so its links cannot be formed before that
// step ends.
template <bool Chained>
void BM_Floor(benchmark::State &state) {
    Lattice *l = prepared(state.range(0) == 32768);
    const int32_t n = l->num_instances * l->slots_per_instance;
    const int32_t w = l->slots_per_instance;
    std::vector<double> own(static_cast<size_t>(n)), delta(static_cast<size_t>(n) * 8),
        coupling_arg(static_cast<size_t>(n) * 8);
    for (int32_t c = 0; c < n; ++c) {
        const Slot *slot = lattice_get_slot(l, c);
        own[c] = slot->phase;
        const int32_t nb[8] = {lvref::wrap(n + c - 1, n),     lvref::wrap(c + 1, n),
                               lvref::wrap(n + c - w, n),     lvref::wrap(c + w, n),
                               lvref::wrap(n + c - w - 1, n), lvref::wrap(n + c - w + 1, n),
                               lvref::wrap(n + c + w - 1, n), lvref::wrap(c + w + 1, n)};
        for (int k = 0; k < 8; ++k) {
            const Slot *other = lattice_get_slot(l, nb[k]);
            delta[c * 8 + k] = other->phase - slot->phase;
            coupling_arg[c * 8 + k] = -std::fabs(
                1.0 - std::fabs(ap_to_double(other)) / (std::fabs(ap_to_double(slot)) + 1e-10));
        }
    }
    double acc = 0.0;
    for (auto _ : state) {
        double carry = 0.0;
        for (int32_t c = 0; c < n; ++c) {
            // A tiny multiple leaves the value alone but keeps the dependence.
            double phase = Chained ? own[c] + carry * 1e-300 : own[c];
            for (int stage = 0; stage < 4; ++stage) {
                double sn[8], cs[8];
                for (int j = 0; j < 8; ++j) sincos(delta[c * 8 + j] - phase, &sn[j], &cs[j]);
                for (int j = 0; j < 8; ++j) phase += (sn[j] + cs[j]) * 1e-12;
            }
            const double tie = Chained ? carry * 1e-300 : 0.0;
            for (int j = 0; j < 8; ++j) acc += std::exp(coupling_arg[c * 8 + j] + tie);
            acc += std::exp(-0.05 * 3.0517578125e-05);
            const double wrapped = std::fmod(phase, 6.283185307179586);
            acc += wrapped;
            for (int j = 0; j < 8; ++j) acc += rand();
            carry = wrapped;
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * n);
    lattice_free(l);
}

}  // namespace

BENCHMARK(BM_Materialise)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Release)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Sweep<Sweep::fast>)->Name("BM_Sweep/fast")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sweep<Sweep::plain>)->Name("BM_Sweep/plain")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sweep<Sweep::plain_pow>)->Name("BM_Sweep/plain_pow")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor<false>)->Name("BM_Floor")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor<true>)->Name("BM_Floor/chained")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
