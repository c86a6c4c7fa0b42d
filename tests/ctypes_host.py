"""ctypes_host.py: a Python host calls the library through the lumivane package's declarations."""
import ctypes
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import lumivane  # noqa: E402  (the package of this source tree)
from lumivane.records import NeighborLink, SlotState  # noqa: E402

lib = lumivane.load(sys.argv[1])


def check(cond, what):
    if not cond:
        print("failed:", what)
        sys.exit(1)


s = lib.ap_from_double(4096, 16, 3.141592653589793)
check(s.contents.mantissa_words[0] == 0xC90FDAA22168C000 and s.contents.exponent == 2, "pi's word and exponent")
check(lib.ap_to_double(s) == 3.141592653589793, "pi reads back")
lib.ap_free(s)
lumivane.libc().free(s)

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
