// shallow_copy.cpp: compiled by the tests, never linked. With
// LUMIVANE_SHALLOW_COPY it copies a lattice's slot (1) or a value's record (2)
// into a Slot record, which would make a second owner of the slot's buffers,
// and must not compile.
// Without it the same file must compile: the control that the include, the
// flags and everything else are in order, so the failure has no other cause.
#include <lumivane/lumivane.hpp>

void take_a_slot(lumivane::Lattice &lattice, const lumivane::Value &value) {
#if LUMIVANE_SHALLOW_COPY == 1
    Slot s = lattice.slot(0);
#elif LUMIVANE_SHALLOW_COPY == 2
    Slot s = value.record();
#else
    (void)value;
    lumivane::SlotView s = lattice.slot(0);
#endif
    (void)s;
}
