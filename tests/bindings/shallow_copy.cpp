// shallow_copy.cpp: compiled by the tests, never linked. With
// LUMIVANE_SHALLOW_COPY it copies a lattice's slot into a Slot record, which
// would make a second owner of the slot's buffers, and must not compile.
// Without it the same file must compile: the control that the include, the
// flags and everything else are in order, so the failure has no other cause.
#include <lumivane/lumivane.hpp>

void take_a_slot(lumivane::Lattice &lattice) {
#ifdef LUMIVANE_SHALLOW_COPY
    Slot s = lattice.slot(0);
#else
    lumivane::SlotView s = lattice.slot(0);
#endif
    (void)s;
}
