// bench_fpenv.cpp: what the floating-point guard costs: alone, and as part
// of the smallest exported operations, called through the shared library as
// a host calls them. Argument 0: the host's environment is the default (the
// guard reads the controls and compares); 1: the host left upward rounding,
// flush-to-zero and denormals-are-zero on (the guard sets the default and
// restores the host's). Run the binary against a library built without the
// guard (LD_LIBRARY_PATH) for the difference; docs/performance.md has both.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "host_fpenv.h"
#include "lumivane/lumivane.h"
#include "runtime/fpenv.h"

namespace {

// The host's environment for one benchmark, the default again after it.
struct Host {
    explicit Host(const benchmark::State &state) {
        if (state.range(0) != 0) host_fpenv_skew();
    }
    ~Host() { host_fpenv_default(); }
};

void BM_GuardAlone(benchmark::State &state) {
    const Host host(state);
    for (auto _ : state) {
        const lv::DefaultFloatEnv guard;
        benchmark::ClobberMemory();
    }
}

void BM_NormalizedRand(benchmark::State &state) {
    const Host host(state);
    srand(1u);
    for (auto _ : state) benchmark::DoNotOptimize(get_normalized_rand());
}

void BM_ExchangeLinks(benchmark::State &state) {
    const Host host(state);
    NeighborLink fresh[8] = {};
    for (int j = 0; j < 8; ++j) fresh[j].amp_re = fresh[j].amp_im = 1.0 + j;
    NeighborLink links[8];
    for (auto _ : state) {
        // Fresh each time: damped on and on they would reach the subnormals.
        for (int j = 0; j < 8; ++j) links[j] = fresh[j];
        exchange_analog_links(links, 0, 1, 8);
        benchmark::DoNotOptimize(links);
    }
}

void BM_Derivatives(benchmark::State &state) {
    const Host host(state);
    NeighborLink links[8] = {};
    for (int j = 0; j < 8; ++j) {
        links[j].amp_re = 0.5;
        links[j].phase_delta = 0.1 * j;
        links[j].coupling = 0.01;
    }
    const SlotState s{0.75, 0.25, 1.0, 0.5};
    for (auto _ : state) benchmark::DoNotOptimize(compute_derivatives(s, links, 8, 1.25));
}

void BM_ToDouble(benchmark::State &state) {
    const Host host(state);
    srand(1u);
    Slot *slot = ap_from_double(64, 16, 1.5);
    for (auto _ : state) benchmark::DoNotOptimize(ap_to_double(slot));
    ap_free(slot);
    std::free(slot);
}

void BM_FromDouble(benchmark::State &state) {
    const Host host(state);
    srand(1u);
    for (auto _ : state) {
        Slot *slot = ap_from_double(64, 16, 1.5);
        benchmark::DoNotOptimize(slot);
        ap_free(slot);
        std::free(slot);
    }
}

void BM_Recursion(benchmark::State &state) {
    const Host host(state);
    Lattice *l = lattice_init(1, 4);
    int32_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(prismatic_recursion(l, i++ & 1023, 0.3));
    lattice_free(l);
}

}  // namespace

BENCHMARK(BM_GuardAlone)->Arg(0)->Arg(1);
BENCHMARK(BM_NormalizedRand)->Arg(0)->Arg(1);
BENCHMARK(BM_ExchangeLinks)->Arg(0)->Arg(1);
BENCHMARK(BM_Derivatives)->Arg(0)->Arg(1);
BENCHMARK(BM_ToDouble)->Arg(0)->Arg(1);
BENCHMARK(BM_FromDouble)->Arg(0)->Arg(1);
BENCHMARK(BM_Recursion)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
