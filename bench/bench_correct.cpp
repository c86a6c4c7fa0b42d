// The correctly rounded sines, cosines and exponential: each call, and each phase alone, on the run's arguments.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "math/correct.h"
#include "math/correct_internal.h"

namespace {

// Uniform in [lo, lo + width), 2^16 of them.
std::vector<double> arguments(double lo, double width) {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    std::vector<double> x(1 << 16);
    for (double &v : x) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        v = lo + width * (static_cast<double>(s >> 11) * 0x1p-53);
    }
    return x;
}

template <class F>
void run(benchmark::State &state, const std::vector<double> &x, F f) {
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(x[i]));
        i = (i + 1) & (x.size() - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

// The run's range for the sines and cosines, the couplings' for the exponential.
void BM_CrSincos(benchmark::State &state) {
    run(state, arguments(-13.0, 20.0), [](double v) {
        double s, c;
        lv::cr_sincos(v, &s, &c);
        return s + c;
    });
}
void BM_CrSincosHuge(benchmark::State &state) {
    run(state, arguments(1e300, 1e300), [](double v) {
        double s, c;
        lv::cr_sincos(v, &s, &c);
        return s + c;
    });
}
void BM_CrSincosAccurate(benchmark::State &state) {
    run(state, arguments(-13.0, 20.0), [](double v) {
        double s, c;
        lv::cr_detail::sincos_accurate(v, &s, &c);
        return s + c;
    });
}
void BM_CrExp(benchmark::State &state) {
    run(state, arguments(-50.0, 50.0), [](double v) { return lv::cr_exp(v); });
}
void BM_CrExpAccurate(benchmark::State &state) {
    run(state, arguments(-50.0, 50.0), [](double v) { return lv::cr_detail::exp_accurate(v); });
}
BENCHMARK(BM_CrSincos);
BENCHMARK(BM_CrSincosHuge);
BENCHMARK(BM_CrSincosAccurate);
BENCHMARK(BM_CrExp);
BENCHMARK(BM_CrExpAccurate);

}  // namespace

BENCHMARK_MAIN();
