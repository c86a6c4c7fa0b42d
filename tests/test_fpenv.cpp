// test_fpenv.cpp: a host's floating-point environment changes nothing: the
// same sweeps, fold, boot report and conversions, in both maths modes, from a
// host that left upward rounding, flush-to-zero and denormals-are-zero on, and
// that host's environment comes back after every call.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host_fpenv.h"
#include "support.h"

namespace {

struct Outcome {
    std::vector<lvref::SlotImage> slots;
    std::vector<uint64_t> figures;  // lattice globals, conversions, recursion, as bit patterns
    std::string printed;
};

// One host's session: a boot with its report, sweeps, a fold and more sweeps
// on a lattice of 1024 x 4, then the small operations on a subnormal.
Outcome session(int32_t mode, bool skewed) {
    Outcome o;
    srand(4242u);
    const int32_t previous = lattice_set_math_mode(mode);
    if (skewed) host_fpenv_skew();
    const host_fpenv host = host_fpenv_read();
    // Every call gives the host its environment back.
    const auto call = [&](const char *what, const std::function<void()> &f) {
        f();
        EXPECT_TRUE(host_fpenv_same(host, host_fpenv_read())) << what << " left the environment changed";
    };
    Lattice *l = nullptr;
    CheckpointLog *log = nullptr;
    call("lattice_init", [&] { l = lattice_init(1024, 4); });
    call("checkpoint_init", [&] { log = checkpoint_init(); });
    ::testing::internal::CaptureStdout();
    call("bootloader_init_lattice", [&] { bootloader_init_lattice(l, 101, log); });
    for (int i = 0; i < 10; ++i) call("lattice_integrate_rk4", [&] { lattice_integrate_rk4(l, lvtest::kStep); });
    call("lattice_fold", [&] { lattice_fold(l); });
    for (int i = 0; i < 5; ++i) call("lattice_integrate_rk4", [&] { lattice_integrate_rk4(l, lvtest::kStep); });
    o.printed = ::testing::internal::GetCapturedStdout();
    for (int32_t k = 0; k < l->num_instances * l->slots_per_instance; ++k)
        o.slots.push_back(lvref::image(*lattice_get_slot(l, k)));
    o.figures = {lvtest::bits_of(l->omega), lvtest::bits_of(l->time), lvtest::bits_of(l->phase_var)};
    // A subnormal through conversion and back, a draw, the recursion.
    call("ap_from_double", [&] {
        const lvtest::OwnedSlot tiny(ap_from_double(64, 16, 3e-310));
        o.figures.push_back(lvtest::bits_of(ap_to_double(tiny.get())));
    });
    call("get_normalized_rand", [&] { o.figures.push_back(lvtest::bits_of(get_normalized_rand())); });
    call("prismatic_recursion", [&] { o.figures.push_back(lvtest::bits_of(prismatic_recursion(l, 5, 0.3))); });
    call("lattice_free", [&] { lattice_free(l); });
    checkpoint_free(log);
    host_fpenv_default();
    lattice_set_math_mode(previous);
    return o;
}

TEST(FloatEnvironment, HostsEnvironmentChangesNothingAndComesBack) {
    for (const int32_t mode : {LATTICE_MATH_SYSTEM, LATTICE_MATH_CORRECT}) {
        SCOPED_TRACE(mode == LATTICE_MATH_SYSTEM ? "system maths" : "correct maths");
        const Outcome plain = session(mode, false);
        const Outcome skewed = session(mode, true);
        EXPECT_EQ(skewed.printed, plain.printed);
        EXPECT_EQ(skewed.figures, plain.figures);
        ASSERT_EQ(skewed.slots.size(), plain.slots.size());
        for (size_t k = 0; k < plain.slots.size(); ++k) {
            const std::string why = lvref::differences(skewed.slots[k], plain.slots[k]);
            ASSERT_EQ(why, "") << "slot " << k;
        }
    }
}

}  // namespace
