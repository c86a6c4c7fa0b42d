"""host.py: a Python 3 host of liblumivane through the lumivane package.

The walk of host.c: seed the generator, build a small lattice, sweep it, fold
it, sweep again, print what it holds; it prints the same bytes as host.c.

    PYTHONPATH=PREFIX/lib/python3/dist-packages python3 examples/host.py [path/to/liblumivane.so]

Without an argument the package loads liblumivane.so.2 (LUMIVANE_LIBRARY, the
loader's search path, or the library installed beside the package). Run from a
source checkout without PYTHONPATH, it takes the package from ../python.
"""
import math
import os
import sys

try:
    import lumivane
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    import lumivane


def c_format(x, fmt):
    """printf's rendering of a double: glibc writes a NaN's sign ("-nan")."""
    if math.isnan(x):
        return ("-" if math.copysign(1.0, x) < 0 else "") + "nan"
    return format(x, fmt)


def print_slot(lattice, index):
    try:
        s = lattice.slot(index)
    except (IndexError, MemoryError):
        print(f"  slot {index}: absent")
        return
    # The real amplitude is high precision; to_double reads it as a double.
    print(f"  slot {index:4d}: re={c_format(s.to_double(), '.9e')} "
          f"im={c_format(s.amp_im, '.9e')} phase={c_format(s.phase, '.6f')} "
          f"omega={c_format(s.omega, '.6f')} exp={s.exponent} flags=0x{s.flags:x}")


def print_lattice(title, l):
    print(f"{title}: {l.num_instances} instances x {l.slots_per_instance} slots, "
          f"{l.num_chunks} chunk(s), omega={c_format(l.omega, '.9f')} "
          f"time={c_format(l.time, '.9f')} phase_var={c_format(l.phase_var, '.6f')} "
          f"consensus_steps={l.consensus_steps}")


def main():
    lumivane.load(sys.argv[1] if len(sys.argv) > 1 else None)
    lumivane.seed(2026)  # every draw comes from rand(): the seed decides the whole result

    with lumivane.Lattice(64, 4) as lattice:
        # The first slot access materialises the chunk that holds the lattice.
        for _ in range(20):
            lattice.sweep(lumivane.NOMINAL_STEP)
        print_lattice("after 20 sweeps", lattice)
        for i in range(4):
            print_slot(lattice, i)

        lattice.fold()  # 64 -> 128 instances: the new half holds perturbed copies
        for _ in range(20):
            lattice.sweep(lumivane.NOMINAL_STEP)
        print_lattice("after the fold and 20 more", lattice)
        for i in range(4):
            print_slot(lattice, i)
        print_slot(lattice, 256)  # the first slot of the folded half

        # A standalone high-precision number, released at the end of its block.
        with lumivane.Value(-2.5) as x:
            print(f"ap_from_double(-2.5): word0=0x{x.words[0]:016x} exp={x.exponent} "
                  f"flags=0x{x.flags:x} reads {c_format(x.to_double(), '.1f')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
