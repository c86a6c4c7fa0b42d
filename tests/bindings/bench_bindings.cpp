// bench_bindings.cpp: a sweep through lumivane::Lattice::sweep beside the same
// sweep through lattice_integrate_rk4, on the same run-like lattice
// (4096 x 4 after three sweeps, from one seed). The pair should agree within noise.
#include <benchmark/benchmark.h>

#include <lumivane/lumivane.hpp>

namespace {

lumivane::Lattice prepared() {
    srand(20261207u);
    lumivane::Lattice l(4096, 4);
    for (int i = 0; i < 3; ++i) l.sweep(lumivane::nominal_step);
    return l;
}

void BM_SweepC(benchmark::State &state) {
    lumivane::Lattice owner = prepared();
    ::Lattice *l = owner.get();
    for (auto _ : state) lattice_integrate_rk4(l, lumivane::nominal_step);
    state.SetItemsProcessed(state.iterations() * 16384);
}

void BM_SweepOwner(benchmark::State &state) {
    lumivane::Lattice l = prepared();
    for (auto _ : state) l.sweep(lumivane::nominal_step);
    state.SetItemsProcessed(state.iterations() * 16384);
}

// Alternating, so that drift of the machine falls on both alike.
BENCHMARK(BM_SweepC)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SweepOwner)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SweepC)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SweepOwner)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
