// constants.cpp: the golden ratio and pi as high-precision slots, built by the boot.
#include <cstdio>

#include "apa/internal.h"
#include "runtime/fpenv.h"

namespace {

Slot APA_CONST_PHI{};
Slot APA_CONST_PI{};

}  // namespace

namespace lv {
Slot *const_phi() { return &APA_CONST_PHI; }
Slot *const_pi() { return &APA_CONST_PI; }
}  // namespace lv

extern "C" void init_apa_constants(void) {
    const lv::DefaultFloatEnv float_env;
    // A second call must not leak the first call's buffers; releasing an
    // empty slot is harmless. The two fresh slots' draws still happen.
    ap_free(&APA_CONST_PHI);
    ap_free(&APA_CONST_PI);
    APA_CONST_PHI = slot_init_apa(4096, 16);
    APA_CONST_PI = slot_init_apa(4096, 16);
    // A failed conversion leaves the constant its freshly drawn slot.
    lv::assign_converted(&APA_CONST_PHI, lv::kPhi);
    lv::assign_converted(&APA_CONST_PI, lv::kPi);
    std::puts("[Bootloader] High-precision constants (PHI, PI) initialized.");
}
