"""test_package.py: the lumivane package against the C calls it wraps.

    python3 test_package.py light|chunk LIBRARY LAYOUT_DUMP PACKAGE_DIR

`chunk` runs the tests that materialise a chunk (751 MB); the numpy views are
tested where numpy is importable. PACKAGE_DIR holds the build tree's lumivane/.
"""
import collections.abc
import ctypes
import gc
import os
import subprocess
import sys
import unittest
import weakref

TIER, LIBRARY, LAYOUT_DUMP, PACKAGE_DIR = sys.argv[1:5]
sys.path.insert(0, PACKAGE_DIR)
import lumivane  # noqa: E402
from lumivane import records  # noqa: E402

lib = lumivane.load(LIBRARY)
from lumivane._owners import _SCALARS as SCALARS  # noqa: E402


def fields(s):
    """A slot record's scalar fields and words, doubles included bit for bit (NaN == NaN)."""
    s = s.contents
    scalars = tuple(repr(getattr(s, n)) for n in SCALARS)
    return scalars + tuple(s.mantissa_words[:s.num_words])


class Light(unittest.TestCase):
    def test_version_is_the_librarys(self):
        self.assertTrue(os.path.realpath(LIBRARY).endswith(f".so.{lumivane.__version__}"),
                        (LIBRARY, lumivane.__version__))

    def test_layouts_constants_and_declared_slots_match_the_c_compiler(self):
        dump = subprocess.run([LAYOUT_DUMP], check=True, capture_output=True, text=True).stdout
        seen, constants = set(), set()
        for line in dump.splitlines():
            if line.startswith("="):  # a constant of the C headers
                name, value = line[1:].split()
                ours = getattr(records, name)
                self.assertEqual(ours, float.fromhex(value) if "p" in value else int(value), name)
                constants.add(name)
                continue
            if line.startswith("#"):  # lattice_declared_slots of hand-written counts
                n, w, declared = map(int, line[1:].split())
                with lumivane.Lattice(1, 1) as lattice:
                    lattice._check().contents.num_instances = n
                    lattice._check().contents.slots_per_instance = w
                    self.assertEqual(lattice.declared_slots, declared, (n, w))
                continue
            name, value = line.split()
            record, _, field = name.partition(".")
            cls = getattr(records, record)
            got = getattr(cls, field).offset if field else ctypes.sizeof(cls)
            self.assertEqual(got, int(value), name)
            seen.add((record, field))
        for cls in records.SIZES:
            for field, _ in cls._fields_:
                self.assertIn((cls.__name__, field), seen)
        self.assertEqual(constants, set(records.CONSTANTS))

    def test_errors_are_exceptions(self):
        closed_value, closed_log, closed_lattice = (lumivane.Value(1.0), lumivane.CheckpointLog(),
                                                   lumivane.Lattice(4, 4))
        for owner in (closed_value, closed_log, closed_lattice):
            owner.close()
            owner.close()  # a second close does nothing
        table = [
            (lambda: lumivane.Lattice(0, 4), ValueError),
            (lambda: lumivane.Lattice(2 ** 31, 4), ValueError),
            (lambda: lumivane.Lattice(65536, 65536), ValueError),
            (lambda: lumivane.Lattice(4.0, 4), TypeError),
            (lambda: lumivane.Value(1.0, 0), ValueError),
            (lambda: lumivane.Value(1.0, 4096, 2 ** 32 + 16), ValueError),
            (lambda: lumivane.seed(-1), ValueError),
            (lambda: lumivane.CheckpointLog()[0], IndexError),
            (lambda: closed_value.to_double(), ValueError),
            (lambda: lumivane.Value(1.0).add(closed_value), ValueError),
            (lambda: closed_value.copy(), ValueError),
            (lambda: closed_value.exponent, ValueError),
            (lambda: closed_log.add(1, lumivane.Lattice(4, 4)), ValueError),
            (lambda: lumivane.CheckpointLog().add(1, closed_lattice), ValueError),
            (lambda: len(closed_log), ValueError),
            (lambda: closed_lattice.sweep(), ValueError),
            (lambda: closed_lattice.fold(), ValueError),
            (lambda: closed_lattice.slot(0), ValueError),
            (lambda: closed_lattice.phase_var, ValueError),
            (lambda: closed_lattice.slots, ValueError),
            (lambda: lumivane.Value(1.0).add(lumivane.Value(1.0, 64)), ValueError),
            (lambda: lumivane.Lattice(4, 4).sweep(0.0), ValueError),
            (lambda: lumivane.Lattice(4, 4).sweep(-1.0), ValueError),
            (lambda: lumivane.Lattice(4, 4).sweep(float("nan")), ValueError),
            (lambda: lumivane.Lattice(4, 4).sweep(float("inf")), ValueError),
        ]
        for i, (call, error) in enumerate(table):
            with self.assertRaises(error, msg=f"row {i}"):
                call()

    def test_math_mode_answers_the_mode_before_the_call(self):
        self.assertEqual(lumivane.math_mode(), "system")
        try:
            self.assertEqual(lumivane.math_mode("correct"), "system")
            self.assertEqual((lumivane.math_mode(), lib.lattice_math_mode()), ("correct", 1))
            for unknown in ("fast", "System", 1):  # refused before the C call: the mode stays
                with self.assertRaises(ValueError, msg=repr(unknown)) as caught:
                    lumivane.math_mode(unknown)
                self.assertIn("one of system, correct", str(caught.exception))
                self.assertEqual(lumivane.math_mode(), "correct", repr(unknown))
            self.assertEqual(lumivane.math_mode("system"), "correct")
        finally:
            lumivane.math_mode("system")  # what the other tests in this process sweep with
        self.assertEqual(lib.lattice_math_mode(), 0)

    def test_fields_are_the_records_and_refuse_assignment(self):
        # A field the library sets refuses assignment, and nothing else can be set in front
        # of it: the record's value is what is read afterwards.
        lattice, value, log = lumivane.Lattice(2, 3), lumivane.Value(1.5), lumivane.CheckpointLog()
        table = [  # (holder, name)
            (lattice, "time"), (lattice, "phase_var"), (lattice, "num_instances"),
            (lattice, "declared_slots"), (lattice, "tiem"), (value, "phase"),
            (value, "num_words"), (value, "negative"), (value, "extra"), (log, "capacity"),
            (log, "count"),
        ]
        for holder, name in table:
            before = getattr(holder, name, None)
            with self.assertRaises(AttributeError, msg=name):
                setattr(holder, name, 5)
            self.assertEqual(getattr(holder, name, None), before, name)
            self.assertFalse(hasattr(holder, "__dict__"), type(holder))
        self.assertEqual(lattice.time, lattice._check().contents.time)
        for owner in (lattice, value, log):
            owner.close()

    def test_checkpoint_log_is_a_read_only_sequence(self):
        with lumivane.Lattice(4, 4) as lattice, lumivane.CheckpointLog() as log:
            for evo in range(1, 12):  # the eleventh prunes
                log.add(evo, lattice)
            self.assertIsInstance(log, collections.abc.Sequence)
            self.assertEqual([s.evo for s in log], list(range(2, 12)))
            self.assertEqual([s.evo for s in log[-3:]], [9, 10, 11])
            self.assertEqual((log[0].weight, log[-1].weight), (0.95 ** 9, 1.0))
            self.assertIn("10 of 10 snapshots", repr(log))
            with self.assertRaises(TypeError):
                log[0] = log[0]  # read-only

    def test_copies_are_independent(self):
        with lumivane.Value(1.0) as one, lumivane.Value(0.5) as half:
            copy = one.copy()
            copy.add(half)
            self.assertEqual((one.to_double(), copy.to_double()), (1.0, 1.5))
        with lumivane.Value(-2.5) as negative:  # float() keeps the sign that repr() shows
            self.assertEqual((float(negative), negative.to_double()), (-2.5, 2.5))
            self.assertIn("-2.5", repr(negative))
        with lumivane.Value(1.0) as one, lumivane.Value(0.5) as half:
            copy = one.copy()
            self.assertNotEqual(ctypes.addressof(one._pointer().contents),
                                ctypes.addressof(copy._pointer().contents))


class Chunk(unittest.TestCase):
    def test_slot_views_read_the_chunk_in_place(self):
        lumivane.seed(2026)
        with lumivane.Lattice(64, 4) as lattice:
            lattice.sweep()
            for k in (0, 1, 255, 256, lumivane.SLOTS_PER_CHUNK - 1):
                view, raw = lattice.slot(k), lib.lattice_get_slot(lattice._check(), k)
                self.assertEqual(ctypes.addressof(view._pointer().contents),
                                 ctypes.addressof(raw.contents), k)
                self.assertEqual(fields(view._pointer()), fields(raw), k)
            first = lattice.slot(0)
            before = first.phase
            lattice.sweep()
            self.assertNotEqual(first.phase, before)  # a view, not a copy
            self.assertEqual((len(lattice.slots), lattice.slots[-1].index), (256, 255))
            for bad in (lambda: lattice.slot(-1), lambda: lattice.slot(lumivane.SLOTS_PER_CHUNK),
                        lambda: lattice.slot(2 ** 31), lambda: lattice.slots[256],
                        lambda: lattice.slots[-257], lambda: lattice.records(chunk=1)):
                self.assertRaises(IndexError, bad)
        self.assertRaises(ValueError, lambda: first.phase)

    def test_slot_views_write_what_a_host_may_set(self):
        lumivane.seed(2026)
        with lumivane.Lattice(8, 4) as lattice:
            view = lattice.slot(3)
            view.phase, view.phase_vel, view.amp_im = 0.25, -0.5, 2.0
            view.exclude()
            with self.assertRaises(AttributeError):
                view.flags = 0  # the library's
            lattice.sweep()  # an excluded slot is passed over
            raw = lib.lattice_get_slot(lattice._check(), 3).contents
            self.assertEqual((raw.phase, raw.phase_vel, raw.amp_im), (0.25, -0.5, 2.0))
            self.assertTrue(view.excluded and raw.flags & lumivane.FLAG_EXCLUDED)
            view.exclude(False)
            self.assertFalse(raw.flags & lumivane.FLAG_EXCLUDED)

    def test_numpy_views_share_the_records_and_keep_them_alive(self):
        try:
            import numpy  # noqa: F401
        except ImportError:
            self.skipTest("numpy is not importable")
        lattice = lumivane.Lattice(64, 4)
        lattice.sweep()
        recs, phase = lattice.records(), lattice.array("phase")
        self.assertEqual((phase.shape, phase.strides, phase.flags.writeable),
                         ((256,), (ctypes.sizeof(records.Slot),), False))
        expect = [repr((s.phase, s.phase_vel, s.amp_im)) for s in lattice.slots]
        memory = weakref.ref(lattice._record)
        lattice.close()
        self.assertIsNotNone(memory())  # the arrays hold the storage
        got = zip(phase.tolist(), recs["phase_vel"].tolist(), recs["amp_im"].tolist())
        self.assertEqual([repr(t) for t in got], expect)
        del recs, phase
        gc.collect()
        self.assertIsNone(memory())  # released with the last array


if __name__ == "__main__":
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Light if TIER == "light" else Chunk)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
