/* lumivane/lumivane.h: everything a C11 or C++ host needs, in one include. */
#ifndef LUMIVANE_LUMIVANE_H
#define LUMIVANE_LUMIVANE_H

#include "lumivane/apa.h"
#include "lumivane/checkpoint.h"
#include "lumivane/dynamics.h"
#include "lumivane/lattice.h"
#include "lumivane/runtime.h"

#endif
