// correct.cpp: the build probe: whether the correctly rounded functions' arithmetic is as written.
#include "math/correct.h"

#include "math/correct_internal.h"

namespace lv {

// Each file with exact sums and products answers for itself: the build
// gives every one the same flags, and asking each costs nothing.
bool cr_as_written() {
    return cr_detail::sincos_as_written() && cr_detail::exp_as_written();
}

}  // namespace lv
