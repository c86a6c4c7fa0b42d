// sweep_profile.cpp: the benchmark's folded lattice swept N times, for a
// profiler that should see the sweeps alone (see overhead_share.sh).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumivane/lumivane.h"

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
    srand(20261207u);
    Lattice *l = lattice_init(4096, 4);
    if (l == nullptr) return 1;
    for (int i = 0; i < 3; ++i) lattice_integrate_rk4(l, 3.0517578125e-05);
    lattice_fold(l);
    perf_control("enable\n");
    for (int i = 0; i < sweeps; ++i) lattice_integrate_rk4(l, 3.0517578125e-05);
    perf_control("disable\n");
    std::printf("%d sweeps of %d slots, phase_var %.6f\n", sweeps,
                l->num_instances * l->slots_per_instance, l->phase_var);
    lattice_free(l);
    return 0;
}
