"""host.py: a Python 3 host of liblumivane through ctypes (standard library only).

Declares the records with the library's layouts, seeds the generator, sweeps a
small lattice and reads its slots.

    python3 examples/host.py [path/to/liblumivane.so]

Without an argument it loads liblumivane.so.2 from the loader's search path
(LD_LIBRARY_PATH, or an installed prefix the loader knows).
"""
import ctypes
import sys

u8, u16, u32, u64 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64
i32, i64, f32, f64 = ctypes.c_int32, ctypes.c_int64, ctypes.c_float, ctypes.c_double


class Mpi(ctypes.Structure):
    _fields_ = [("words", ctypes.POINTER(u64)), ("word_count", u64), ("sign", u8)]


class Slot(ctypes.Structure):
    _fields_ = [("mantissa_words", ctypes.POINTER(u64)), ("num_words_mpi", Mpi),
                ("exponent_mpi", Mpi), ("init_tag", u16), ("flags", u32), ("aux_mpi", Mpi),
                ("num_words", u64), ("exponent", i64), ("base", f32), ("mantissa_bits", i32),
                ("exponent_bits", i32), ("phase", f64), ("phase_vel", f64), ("omega", f64),
                ("amp_im", f64)]


class SlotChunk(ctypes.Structure):
    _fields_ = [("slots", ctypes.POINTER(Slot)), ("num_slots", u64)]


class Lattice(ctypes.Structure):
    _fields_ = [("chunks", ctypes.POINTER(ctypes.POINTER(SlotChunk))), ("num_chunks", i32),
                ("num_instances", i32), ("slots_per_instance", i32), ("omega", f64),
                ("time", f64), ("consensus_steps", i32), ("phase_var", f64),
                ("last_update_ns", u64)]


# The layouts are the interface: a mismatch here would read garbage.
assert ctypes.sizeof(Mpi) == 24 and ctypes.sizeof(Slot) == 152
assert ctypes.sizeof(SlotChunk) == 16 and ctypes.sizeof(Lattice) == 64

lib = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "liblumivane.so.2")
libc = ctypes.CDLL(None)
lib.lattice_init.restype = ctypes.POINTER(Lattice)
lib.lattice_init.argtypes = [i32, i32]
lib.lattice_get_slot.restype = ctypes.POINTER(Slot)
lib.lattice_get_slot.argtypes = [ctypes.POINTER(Lattice), i32]
lib.lattice_integrate_rk4.argtypes = [ctypes.POINTER(Lattice), f64]
lib.lattice_fold.argtypes = [ctypes.POINTER(Lattice)]
lib.lattice_free.argtypes = [ctypes.POINTER(Lattice)]
lib.ap_to_double.restype = f64
lib.ap_to_double.argtypes = [ctypes.POINTER(Slot)]

libc.srand(2026)  # every draw comes from rand(): the seed decides the result
lattice = lib.lattice_init(64, 4)
if not lattice:
    sys.exit("host.py: could not create the lattice")
for _ in range(20):
    lib.lattice_integrate_rk4(lattice, 2.0 ** -15)
lib.lattice_fold(lattice)
for _ in range(20):
    lib.lattice_integrate_rk4(lattice, 2.0 ** -15)

l = lattice.contents
print(f"{l.num_instances} instances x {l.slots_per_instance} slots, time={l.time:.9f} "
      f"phase_var={l.phase_var:.6f} consensus_steps={l.consensus_steps}")
for i in (0, 1, 2, 3, 256):
    p = lib.lattice_get_slot(lattice, i)
    if not p:
        print(f"  slot {i:4d}: absent")
        continue
    s = p.contents
    print(f"  slot {i:4d}: re={lib.ap_to_double(p):.9e} im={s.amp_im:.9e} phase={s.phase:.6f} "
          f"omega={s.omega:.6f} exp={s.exponent} flags=0x{s.flags:x}")
lib.lattice_free(lattice)
