// host.cpp: a C++20 host of the installed library through lumivane.hpp: the
// walk of host.c (seed, build a small lattice, sweep, fold, sweep again, print
// what it holds), with owners that release everything themselves. It prints
// the same bytes as host.c.
//
// Build it against an installed lumivane either way:
//   cmake -S examples -B host-build -DCMAKE_PREFIX_PATH=PREFIX && cmake --build host-build
//   c++ -std=c++20 host.cpp $(pkg-config --cflags --libs lumivane) -o host-cpp
#include <lumivane/lumivane.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

void print_slot(lumivane::Lattice &lattice, std::int32_t index) {
    const auto s = lattice.find_slot(index);  // a view of the slot in its chunk
    if (!s) {
        std::printf("  slot %d: absent\n", index);
        return;
    }
    // The real amplitude is high precision; to_double reads it as a double.
    std::printf("  slot %4d: re=%.9e im=%.9e phase=%.6f omega=%.6f exp=%ld flags=0x%x\n", index,
                s->to_double(), s->amp_im(), s->phase(), s->omega(), static_cast<long>(s->exponent()),
                s->flags());
}

void print_lattice(const char *title, const lumivane::Lattice &l) {
    std::printf("%s: %d instances x %d slots, %d chunk(s), omega=%.9f time=%.9f phase_var=%.6f "
                "consensus_steps=%d\n",
                title, l.num_instances(), l.slots_per_instance(), l.num_chunks(), l.omega(),
                l.time(), l.phase_var(), l.consensus_steps());
}

}  // namespace

int main() try {
    // Every draw comes from rand(): the host's seed decides the whole result.
    std::srand(2026u);

    lumivane::Lattice lattice(64, 4);
    // The first slot access materialises the chunk that holds the lattice.
    for (int sweep = 0; sweep < 20; ++sweep) lattice.sweep(lumivane::nominal_step);
    print_lattice("after 20 sweeps", lattice);
    for (std::int32_t i = 0; i < 4; ++i) print_slot(lattice, i);

    lattice.fold();  // 64 -> 128 instances: the new half holds perturbed copies
    for (int sweep = 0; sweep < 20; ++sweep) lattice.sweep(lumivane::nominal_step);
    print_lattice("after the fold and 20 more", lattice);
    for (std::int32_t i = 0; i < 4; ++i) print_slot(lattice, i);
    print_slot(lattice, 256);  // the first slot of the folded half

    // A standalone high-precision number, released when it goes out of scope.
    const lumivane::Value x(-2.5);
    std::printf("ap_from_double(-2.5): word0=0x%016llx exp=%ld flags=0x%x reads %.1f\n",
                static_cast<unsigned long long>(x.words()[0]), static_cast<long>(x.exponent()),
                x.flags(), x.to_double());  // magnitudes only: the sign lives in FLAG_NEGATIVE
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "host: %s\n", e.what());
    return 1;
}
