// sweep_profile.cpp: the benchmark's folded lattice swept N times, or N passes
// of the floor over it, for a profiler that should see those alone (see
// overhead_share.sh).
//
//   sweep_profile [N] [floor|host]
//
// The sweeps draw as the fixed run does, from its private source; with `host`
// they draw from rand(), as a host's calls do.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "bench_floor.h"
#include "bench_lattice.h"
#include "runtime/internal.h"

namespace {

// Tells perf, through the control fifo named in LUMIVANE_PERF_CTL, to start
// or stop sampling; without it the program just sweeps.
void perf_control(const char *command) {
    const char *fifo = std::getenv("LUMIVANE_PERF_CTL");
    if (fifo == nullptr) return;
    const int fd = open(fifo, O_WRONLY);
    if (fd < 0) return;
    if (write(fd, command, std::strlen(command)) < 0) std::perror("perf control");
    close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    const int sweeps = argc > 1 ? std::atoi(argv[1]) : 300;
    const bool floor = argc > 2 && std::strcmp(argv[2], "floor") == 0;
    const bool host = argc > 2 && std::strcmp(argv[2], "host") == 0;
    Lattice *l = lvbench::prepared(true);
    if (l == nullptr) return 1;
    const int32_t n = l->num_instances * l->slots_per_instance;
    if (floor) {
        // The same count of passes of the floor, chained as the sweep is.
        const lvbench::FloorInputs in = lvbench::floor_inputs(l);
        double acc = 0.0;
        perf_control("enable\n");
        for (int i = 0; i < sweeps; ++i) acc += lvbench::floor_pass(in, true);
        perf_control("disable\n");
        std::printf("%d floor passes of %d slots, sum %g\n", sweeps, n, acc);
    } else {
        std::optional<lv::RunDraws> draws;
        if (!host) draws.emplace(20261208u);
        perf_control("enable\n");
        for (int i = 0; i < sweeps; ++i) lattice_integrate_rk4(l, lvbench::kStep);
        perf_control("disable\n");
        std::printf("%d sweeps of %d slots, phase_var %.6f\n", sweeps, n, l->phase_var);
    }
    lattice_free(l);
    return 0;
}
