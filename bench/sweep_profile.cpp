// sweep_profile.cpp: the benchmark's folded lattice swept N times, for a
// profiler that should see the sweeps alone (see overhead_share.sh).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_lattice.h"

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
    Lattice *l = lvbench::prepared(true);
    if (l == nullptr) return 1;
    perf_control("enable\n");
    for (int i = 0; i < sweeps; ++i) lattice_integrate_rk4(l, lvbench::kStep);
    perf_control("disable\n");
    std::printf("%d sweeps of %d slots, phase_var %.6f\n", sweeps,
                l->num_instances * l->slots_per_instance, l->phase_var);
    lattice_free(l);
    return 0;
}
