"""ctypes_host.py: a Python host declares the records itself and calls the library."""
import ctypes
import math
import sys

lib = ctypes.CDLL(sys.argv[1])


class Mpi(ctypes.Structure):
    _fields_ = [("words", ctypes.POINTER(ctypes.c_uint64)), ("word_count", ctypes.c_uint64),
                ("sign", ctypes.c_uint8)]


class Slot(ctypes.Structure):
    _fields_ = [("mantissa_words", ctypes.POINTER(ctypes.c_uint64)), ("num_words_mpi", Mpi),
                ("exponent_mpi", Mpi), ("init_tag", ctypes.c_uint16), ("flags", ctypes.c_uint32),
                ("aux_mpi", Mpi), ("num_words", ctypes.c_uint64), ("exponent", ctypes.c_int64),
                ("base", ctypes.c_float), ("mantissa_bits", ctypes.c_int32),
                ("exponent_bits", ctypes.c_int32), ("phase", ctypes.c_double),
                ("phase_vel", ctypes.c_double), ("omega", ctypes.c_double), ("amp_im", ctypes.c_double)]


class SlotState(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in ("amp_re", "amp_im", "phase", "phase_vel")]


class SlotDerivative(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in ("d_amp_re", "d_amp_im", "d_phase", "d_phase_vel")]


class NeighborLink(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in ("amp_re", "amp_im", "amp_rate", "phase_delta", "coupling")]


def check(cond, what):
    if not cond:
        print("failed:", what)
        sys.exit(1)


check(ctypes.sizeof(Slot) == 152, "Slot is 152 bytes")
lib.ap_from_double.restype = ctypes.POINTER(Slot)
lib.ap_from_double.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_double]
lib.ap_to_double.restype = ctypes.c_double
lib.ap_to_double.argtypes = [ctypes.POINTER(Slot)]
lib.ap_free.argtypes = [ctypes.POINTER(Slot)]
lib.slot_init_apa.restype = Slot
lib.slot_init_apa.argtypes = [ctypes.c_int, ctypes.c_int]
lib.compute_derivatives.restype = SlotDerivative
lib.compute_derivatives.argtypes = [SlotState, ctypes.POINTER(NeighborLink), ctypes.c_int32, ctypes.c_double]
lib.det_rand.restype = ctypes.c_uint64
lib.det_rand.argtypes = [ctypes.c_uint64]
libc = ctypes.CDLL(None)

s = lib.ap_from_double(4096, 16, 3.141592653589793)
check(s.contents.mantissa_words[0] == 0xC90FDAA22168C000 and s.contents.exponent == 2, "pi's word and exponent")
check(lib.ap_to_double(s) == 3.141592653589793, "pi reads back")
lib.ap_free(s)
libc.free(s)

fresh = lib.slot_init_apa(4544, 30)
check(fresh.num_words == 71 and fresh.init_tag == 4096 and fresh.mantissa_words[0] >> 63 == 1, "fresh slot")
lib.ap_free(ctypes.byref(fresh))

d = lib.compute_derivatives(SlotState(2.0, -1.0, 0.25, 0.75), None, 0, 1.25)
check((d.d_amp_re, d.d_amp_im, d.d_phase, d.d_phase_vel) == (-0.04, 0.02, 0.75, 1.25), "derivative without links")
link = (NeighborLink * 1)(NeighborLink(0, 0, 0, 0.0, 0.0))
d = lib.compute_derivatives(SlotState(0.3, 0.4, 1.0, 0.5), link, 1, 1.0)
check(math.isclose(d.d_phase_vel, 0.1585290151921035, rel_tol=0, abs_tol=1e-16), "zero link pulls the phase")
check(lib.det_rand(1) == 1082269761, "xorshift step")
print("ok")
