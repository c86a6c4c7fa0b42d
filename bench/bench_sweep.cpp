// bench_sweep.cpp: materialisation, the product's sweep beside the plain
// reference, and the floor of the calls every slot step must make. The /run
// variants draw as the fixed run does, from its private source; the others
// draw from rand(), as a host's calls do. The /lazy variants make the fixed
// run's own chunk, filled only where its 16384 slots are declared.
#include <benchmark/benchmark.h>

#include <optional>

#include "bench_floor.h"
#include "bench_lattice.h"
#include "lattice/internal.h"
#include "reference/sweep.h"
#include "runtime/internal.h"

namespace {

// The fixed run's draws for the benchmark's duration, or rand()'s.
void draw_as_run(std::optional<lv::RunDraws> &d, bool run) {
    if (run) d.emplace(20261208u);
}

using lvbench::kStep;
using lvbench::prepared;

enum class Fill { host, run, lazy };

template <Fill Kind>
void BM_Materialise(benchmark::State &state) {
    std::optional<lv::RunDraws> draws;
    draw_as_run(draws, Kind != Fill::host);
    for (auto _ : state) {
        Lattice *l = lattice_init(4096, 4);
        const lv::LazyLattice lazy(Kind == Fill::lazy ? l : nullptr);
        benchmark::DoNotOptimize(lattice_get_slot(l, 0));
        state.PauseTiming();
        lattice_free(l);
        state.ResumeTiming();
    }
}

template <Fill Kind>
void BM_Release(benchmark::State &state) {
    std::optional<lv::RunDraws> draws;
    draw_as_run(draws, Kind != Fill::host);
    for (auto _ : state) {
        state.PauseTiming();
        Lattice *l = lattice_init(4096, 4);
        const lv::LazyLattice lazy(Kind == Fill::lazy ? l : nullptr);
        lattice_get_slot(l, 0);
        state.ResumeTiming();
        lattice_free(l);
    }
}

enum class Sweep { fast, run, plain, plain_pow };

template <Sweep Kind>
void BM_Sweep(benchmark::State &state) {
    Lattice *l = prepared(state.range(0) == 32768);
    std::optional<lv::RunDraws> draws;
    draw_as_run(draws, Kind == Sweep::run);
    for (auto _ : state) {
        if constexpr (Kind == Sweep::fast || Kind == Sweep::run)
            lattice_integrate_rk4(l, kStep);
        else if constexpr (Kind == Sweep::plain)
            lvref::sweep(l, kStep);
        else
            lvref::sweep(l, kStep, lvref::read_with_pow);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    lattice_free(l);
}

// The floor: what no implementation can avoid per slot step, and nothing else
// (bench_floor.h), on the sweep's own arguments from the prepared lattice.
template <bool Chained>
void BM_Floor(benchmark::State &state) {
    Lattice *l = prepared(state.range(0) == 32768);
    const lvbench::FloorInputs in = lvbench::floor_inputs(l);
    for (auto _ : state) benchmark::DoNotOptimize(lvbench::floor_pass(in, Chained));
    state.SetItemsProcessed(state.iterations() * in.n);
    lattice_free(l);
}

}  // namespace

BENCHMARK(BM_Materialise<Fill::host>)->Name("BM_Materialise")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Materialise<Fill::run>)->Name("BM_Materialise/run")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Materialise<Fill::lazy>)->Name("BM_Materialise/lazy")->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Release<Fill::host>)->Name("BM_Release")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Release<Fill::lazy>)->Name("BM_Release/lazy")->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Sweep<Sweep::fast>)->Name("BM_Sweep/fast")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sweep<Sweep::run>)->Name("BM_Sweep/run")->Arg(16384)->Arg(32768)->Unit(benchmark::kMillisecond);
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
