#!/usr/bin/env python3
"""Writes the seed inputs of the two fuzz targets into corpus/<target>/.

Each seed is a short program in the targets' own encoding: the targets read
their choices through FuzzedDataProvider, which takes integers from the end of
the input, most significant byte first, each reduced into its range. The
encoder below appends every choice in the order the target consumes it and
reverses the whole at the end. The seeds only give the fuzzer good starting
points: if the targets' decoding changes, they still run, meaning less.
"""
import os
import struct

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
INT64_MIN, INT64_MAX = -2**63, 2**63 - 1


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) % 2**64
    return h


class Encoder:
    def __init__(self):
        self.chunks = []

    def int(self, v, lo, hi, width=4):
        """ConsumeIntegralInRange<T>(lo, hi) answering v, T of `width` bytes."""
        assert lo <= v <= hi, (v, lo, hi)
        span, n = hi - lo, 0
        while n < width and (span >> (8 * n)) > 0:
            n += 1
        self.chunks.append((v - lo).to_bytes(n, "big"))

    def bool(self, b):
        self.chunks.append(bytes([1 if b else 0]))

    def u(self, v, bits):
        self.int(v, 0, 2**bits - 1, bits // 8)

    def raw_double(self, x):
        self.u(struct.unpack("<Q", struct.pack("<d", x))[0], 64)

    def data(self):
        return b"".join(self.chunks)[::-1]


# --- fuzz_api ----------------------------------------------------------------

MANTISSA_TABLE = [INT32_MIN, -64, -1, 0, 1, 63, 64, 65, 128, 4096, 4160, 4544, 4545, 5120,
                  INT32_MAX - 62, INT32_MAX]
EXPONENT_TABLE = [INT32_MIN, -1, 0, 1, 2, 16, 18, 30, 31, 32, 62, 63, 64, INT32_MAX]
COUNT_TABLE = [0, 1, 2, 3, 71, 1 << 38, (1 << 61) - 1, 1 << 61, 1 << 63, 2**64 - 1]


class Api(Encoder):
    POOL, NULL, LATTICE = "pool", None, "lattice"

    def i32(self, v):
        self.bool(False)
        self.int(v, INT32_MIN, INT32_MAX)

    def i64(self, v):
        self.bool(False)
        self.int(v, INT64_MIN, INT64_MAX, 8)

    def real(self, x):
        self.bool(False)
        self.raw_double(x)

    def mantissa_bits(self, v):
        if 0 <= v <= 64 * 80 and v not in MANTISSA_TABLE:
            self.bool(False)
            self.int(v, 0, 64 * 80)
        else:
            self.bool(True)
            self.int(MANTISSA_TABLE.index(v), 0, len(MANTISSA_TABLE) - 1, 8)

    def exponent_bits(self, v):
        if 1 <= v <= 63:
            self.bool(False)
            self.int(v, 1, 63)
        else:
            self.bool(True)
            self.int(EXPONENT_TABLE.index(v), 0, len(EXPONENT_TABLE) - 1, 8)

    def count(self, v):
        self.int(COUNT_TABLE.index(v), 0, len(COUNT_TABLE) - 1, 8)

    def lattice_index(self, k):
        self.bool(0 <= k <= 31)
        if 0 <= k <= 31:
            self.int(k, 0, 31)
        else:
            self.i32(k)

    def slot(self, s):
        """A pool slot 0..3, None for null, or ("lattice", index)."""
        if s is None:
            self.int(8, 0, 9)
        elif isinstance(s, tuple):
            self.int(9, 0, 9)
            self.lattice_index(s[1])
        else:
            self.int(s, 0, 9)

    def kind(self, k):
        self.int(k, 0, 9)

    # slot_op
    def init(self, s, mb, eb):
        self.kind(0); self.int(0, 0, 9); self.slot(s); self.mantissa_bits(mb); self.exponent_bits(eb)

    def free(self, s):
        self.kind(0); self.int(1, 0, 9); self.slot(s)

    def copy(self, d, s):
        self.kind(0); self.int(2, 0, 9); self.slot(d)
        if s == d:
            self.int(0, 0, 7)
        else:
            self.int(1, 0, 7); self.slot(s)

    def read(self, s):
        self.kind(0); self.int(3, 0, 9); self.slot(s)

    def convert(self, mb, eb, x, into=None):
        self.kind(0); self.int(4, 0, 9)
        self.bool(True); self.int(mb, 1, 64 * 72)
        self.exponent_bits(eb); self.real(x)
        self.bool(into is not None)
        if into is not None:
            self.slot(into)

    def shift(self, s, bits, n, storage=True):
        """n: words of the slot to shift, or the count passed with a null pointer."""
        self.kind(0); self.int(5, 0, 9); self.slot(s); self.i64(bits)
        if s is None or not storage:
            self.u(n, 64)
        else:
            self.int(n, 0, 80)

    def normalize(self, s):
        self.kind(0); self.int(6, 0, 9); self.slot(s)

    def add(self, a, b):
        self.kind(0); self.int(7, 0, 9); self.slot(a)
        if a == b:
            self.int(0, 0, 7)
        else:
            self.int(1, 0, 7); self.slot(b)

    def giant(self, eb, x):
        self.kind(0); self.int(8, 0, 9); self.exponent_bits(eb); self.int(0, 0, 1); self.real(x)

    def mutate(self, s, case, *args):
        self.kind(0); self.int(9, 0, 9); self.slot(s); self.int(case, 0, 9)
        if case == 0:
            self.i64(args[0])
        elif case == 1:
            self.int(args[0], 0, 5, 8)
        elif case == 4:
            self.u(args[0], 32)
        elif case in (5, 6):
            self.real(args[0]); self.real(args[1])
        elif case == 7:
            self.int(args[0], 0, 80)
        elif case == 8:
            self.int(args[0], 0, 2, 8); self.count(args[1])

    def drop_mantissa(self, via, pool, claim):
        """Releases pool slot `pool`'s mantissa by hand; it then claims `claim` words."""
        self.kind(0); self.int(9, 0, 9); self.slot(via); self.int(9, 0, 9); self.int(pool, 0, 3)
        self.bool(True); self.count(claim)

    # vector_op
    def vector(self, v):
        if isinstance(v, int):
            self.int(v, 0, 7)
        elif v is None:
            self.int(3, 0, 7)
        else:  # (slot, 4 | 5 | 6)
            self.int(v[1], 0, 7); self.slot(v[0])

    def vinit(self, v, count):
        self.kind(4); self.vector(v); self.int(0, 0, 3); self.count(count)

    def vcopy(self, d, s):
        self.kind(4); self.vector(d); self.int(2, 0, 3)
        if s == d:
            self.int(0, 0, 7)
        else:
            self.int(1, 0, 7); self.vector(s)

    def vset(self, v, value, sign):
        self.kind(4); self.vector(v); self.int(3, 0, 3); self.u(value, 64); self.i32(sign)

    # dynamics_op
    def links(self, n):
        self.int(1, 0, 7); self.bool(True); self.int(n, -2, 16)

    def set_link(self, j, *values):
        self.kind(5); self.int(0, 0, 6); self.int(j, 0, 15)
        for x in values:
            self.real(x)

    def derivatives(self, state, n, omega):
        self.kind(5); self.int(1, 0, 6)
        for x in state:
            self.real(x)
        self.links(n); self.real(omega)

    def rk4(self, s, n, time, dt):
        self.kind(5); self.int(2, 0, 6); self.slot(s); self.links(n); self.real(time); self.real(dt)

    def recursion(self, time, which, index, value):
        self.kind(5); self.int(4, 0, 6); self.real(time); self.int(which, 0, 2); self.i32(index)
        self.real(value)

    # lattice_op
    def lattice_init(self, n, s):
        self.kind(7); self.int(0, 0, 8)
        for v in (n, s):
            self.bool(1 <= v <= 64)
            if 1 <= v <= 64:
                self.int(v, 1, 64)
            else:
                self.i32(v)

    def lattice_free(self):
        self.kind(7); self.int(1, 0, 8); self.int(1, 0, 3)

    def get_slot(self, k):
        self.kind(7); self.int(3, 0, 8); self.lattice_index(k)

    def set_counts(self, n, s):
        for case, v in ((0, n), (1, s)):
            self.kind(7); self.int(4, 0, 8); self.bool(True); self.int(case, 0, 3)
            self.bool(False); self.i32(v)

    def set_quiet(self, steps):
        self.kind(7); self.int(4, 0, 8); self.bool(True); self.int(3, 0, 3)
        self.bool(False); self.i32(steps)

    def sweep(self, dt):
        self.kind(7); self.int(5, 0, 8); self.real(dt)

    def consensus(self):
        self.kind(7); self.int(6, 0, 8)

    def fold(self):
        self.kind(7); self.int(7, 0, 8)

    def boot(self, steps_index, with_log):
        self.kind(7); self.int(8, 0, 8); self.int(steps_index, 0, 5, 8); self.bool(with_log)

    # checkpoint_op and the constants
    def log_init(self):
        self.kind(9); self.bool(True); self.int(0, 0, 4)

    def log_add(self, evo, real_lattice=True):
        self.kind(9); self.bool(True); self.int(2, 0, 4); self.bool(real_lattice); self.int(1, 0, 7)
        self.i32(evo)

    def constants(self):
        self.kind(9); self.bool(False)

    def costly(self):
        """Ends with det_rand on a value that puts the input among those whose
        FNV-1a hash allows one costly operation (a chunk, the widest slot)."""
        base = list(self.chunks)
        for v in range(1 << 16):
            self.chunks = list(base)
            self.kind(5); self.int(5, 0, 6); self.u(v, 64)
            if fnv1a(self.data()) % 64 == 0:
                return self.data()
        raise RuntimeError("no filler value found")


def api_seeds():
    nan, inf = float("nan"), float("inf")
    seeds = {}

    a = Api()  # standalone slots: make, convert, copy, add, step, read
    a.u(12345, 32)
    a.init(0, 4096, 16); a.init(1, 4160, 18); a.init(2, 4544, 30)
    a.convert(4096, 16, 1.618033988749895, into=3)
    a.copy(2, 0); a.add(0, 3); a.add(0, 0); a.normalize(1); a.shift(1, 65, 65)
    for j in range(8):
        a.set_link(j, 0.5, 0.1, 0.0, 0.25 * j, 0.9)
    a.rk4(0, 8, 0.0, 3.0517578125e-05); a.rk4(3, 8, 0.0, 0.1)
    a.derivatives((0.5, 0.05, 1.0, 0.0), 8, 1.25)
    a.read(0); a.read(3); a.vinit(0, 2); a.vset(0, 7, 1); a.vcopy(1, 0); a.vcopy((2, 4), 1)
    a.recursion(0.5, 1, -1, 2.0); a.log_init(); a.log_add(100, real_lattice=False)
    a.constants(); a.free(2); a.free(2)
    seeds["standalone"] = a.data()

    a = Api()  # hostile values: widths, counts, NaN, infinities, subnormals, range ends
    a.u(7, 32)
    a.init(0, 64, 1); a.init(1, 64, 63); a.init(2, INT32_MAX - 62, 16); a.init(3, -1, 64)
    for x in (nan, inf, -inf, -0.0, 5e-324, 2.0**1023, -2.5):
        a.convert(128, 16, x, into=2)
    a.mutate(0, 1, 0); a.normalize(0); a.mutate(1, 1, 4); a.add(1, 1)
    a.mutate(0, 0, INT64_MIN); a.read(0); a.mutate(1, 0, INT64_MAX); a.read(1)
    a.mutate(2, 8, 0, 1 << 38); a.copy(3, 2); a.drop_mantissa(0, 2, 2**64 - 1); a.copy(1, 2)
    a.add(1, 2); a.shift(None, INT64_MAX, 2**64 - 1); a.shift(3, INT64_MIN, 0, storage=False)
    a.vinit(0, 1 << 38); a.vinit(1, 2**64 - 1); a.vcopy(2, 0); a.vset(None, 1, -1)
    a.rk4(1, -1, inf, nan); a.rk4(None, 16, 0.0, 0.0)
    a.derivatives((nan, inf, -inf, 5e-324), 16, -0.0)
    a.recursion(nan, 2, INT32_MIN, -inf); a.recursion(1e300, 1, INT32_MAX, nan)
    a.giant(16, 1.0)
    seeds["hostile"] = a.costly()

    a = Api()  # one small lattice: a chunk, sweeps, consensus, a fold, the boot
    a.u(2024, 32)
    a.lattice_init(64, 4); a.get_slot(5); a.copy(0, ("lattice", 5)); a.copy(("lattice", 6), 0)
    a.free(("lattice", 7)); a.rk4(("lattice", 8), 8, 0.0, 3.0517578125e-05)
    a.sweep(3.0517578125e-05); a.sweep(0.1); a.consensus(); a.fold(); a.sweep(1e-6)
    a.log_init(); a.boot(4, True); a.log_add(INT32_MAX); a.lattice_free()
    seeds["lattice"] = a.costly()

    a = Api()  # counts at and past their limits; a table longer than the counts
    a.u(99, 32)
    a.lattice_init(INT32_MAX, INT32_MAX); a.lattice_init(1, 2146435073); a.lattice_init(-4, 4)
    a.lattice_init(1, 2146435072); a.get_slot(-1); a.get_slot(INT32_MIN); a.get_slot(INT32_MAX)
    a.set_counts(2, 4); a.fold(); a.get_slot(2146435071); a.sweep(3.0517578125e-05)
    a.set_counts(4194304, 2); a.fold(); a.set_counts(1, 2146435072); a.fold()
    seeds["limits"] = a.costly()

    a = Api()  # one slot: quiet sweeps up to the lock, then the count at its end
    a.u(5, 32)
    a.lattice_init(1, 1); a.set_quiet(99); a.sweep(0.0); a.consensus()
    a.mutate(("lattice", 0), 4, 0); a.set_quiet(INT32_MAX); a.consensus(); a.read(("lattice", 0))
    seeds["lock"] = a.costly()
    return seeds


# --- fuzz_arith --------------------------------------------------------------

class Arith(Encoder):
    def op(self, k):
        self.int(k, 0, 2)

    def words(self, n, pattern, seed=0, values=()):
        self.int(pattern, 0, 7); self.u(seed, 64)
        if pattern == 0:
            for i in range(n):
                self.u(values[i] if i < len(values) else 0, 64)

    def exponent(self, case, near=0, value=0, eb=16):
        self.int(near, 0, 300); self.int(case, 0, 7)
        if case == 3:
            half = 1 << (eb - 1)
            self.int(value, -half, half - 1, 8)
        elif case == 4:
            self.int(value, INT64_MIN, INT64_MAX, 8)

    def slot(self, n, eb, spare, words, exponent, flags=0, drop=False):
        """words: (pattern, seed, values); exponent: (case, near, value)."""
        self.u(eb - 1, 8)  # a width byte below 240 names 1 + byte % 63
        if n:
            self.int(spare, 0, 63); self.int(1, 0, 3)
        self.words(n, *words)
        self.exponent(*exponent, eb=eb)
        self.u(flags, 32)
        if n:
            self.int(0 if drop else 1, 0, 15)

    def shift(self, n, pattern, case, bits):
        self.op(0); self.int(n, 0, 80, 8); self.words(n, pattern, 0x0123456789abcdef)
        self.int(case, 0, 3)
        if case == 0:
            self.int(bits, -3, 64 * n + 70, 8)
        elif case == 1:
            self.int(bits[0], 0, 82, 8); self.int(bits[1], -1, 1)
        elif case == 2:
            self.int(bits, INT64_MIN, INT64_MAX, 8)
        else:
            self.bool(bits)

    def normalize(self, n, eb, words, exponent, drop=False):
        self.op(1); self.int(n, 0, 80, 8); self.slot(n, eb, 0, words, exponent, 0x11, drop)

    def add(self, n, a, b, alias=False):
        self.op(2); self.int(n, 0, 80, 8); self.int(1, 0, 31)
        self.slot(n, *a); self.slot(n, *b); self.int(0 if alias else 1, 0, 15)


def arith_seeds():
    top, ones = 1 << 63, 2**64 - 1
    seeds = {}
    a = Arith()  # shifts by every kind of distance
    a.shift(2, 1, 0, 65); a.shift(71, 1, 1, (1, 1)); a.shift(3, 5, 2, INT64_MAX)
    a.shift(0, 2, 3, True); a.shift(64, 7, 0, 4159)
    seeds["shift"] = a.data()

    a = Arith()  # normalisation: a few steps, across words, to the bottom, at the bottom
    a.normalize(1, 16, (0, 0, (1 << 62,)), (7, 155))
    a.normalize(3, 16, (0, 0, (0, top, 0)), (7, 250))
    a.normalize(2, 16, (0, 0, (1, 0)), (0, 10))
    a.normalize(3, 16, (3, 0), (1, 0))
    a.normalize(2, 63, (3, 0), (6, 0))
    a.normalize(4, 1, (5, 42), (2, 3))
    seeds["normalize"] = a.data()

    a = Arith()  # additions: equal exponents, gaps, carries at the top, overflow
    a.add(1, (16, 0, (0, 0, (top,)), (7, 149)), (16, 0, (0, 0, (top,)), (7, 149)))
    a.add(2, (16, 0, (0, 0, (top, 0)), (7, 149)), (16, 0, (0, 0, (top, 0)), (7, 150)))
    a.add(64, (16, 0, (2, 0), (1, 1)), (16, 0, (2, 0), (1, 1)))
    a.add(64, (16, 0, (2, 0), (1, 0)), (16, 0, (2, 0), (1, 0)))
    a.add(3, (30, 5, (6, 9), (0, 0)), (18, 60, (1, 3), (2, 200)))
    a.add(2, (16, 0, (1, 1), (4, 0, INT64_MAX)), (16, 0, (1, 2), (5, 0)))
    a.add(71, (30, 0, (1, 77), (3, 0, 12345)), (30, 0, (7, 78), (3, 0, -12345)), alias=True)
    a.add(5, (16, 0, (1, 5), (7, 150), 0, True), (16, 0, (1, 6), (7, 150)))
    seeds["add"] = a.data()
    return seeds


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for target, seeds in (("fuzz_api", api_seeds()), ("fuzz_arith", arith_seeds())):
        folder = os.path.join(here, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
