// test_state_record.cpp: the replay's record of the run's state: its ranges
// and fields as the command line gives them, and every value it writes,
// read back from the file, against what the C interface reads of the same
// lattice after the same sweeps.
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "driver/record.h"
#include "dynamics/sweep.h"

namespace {

constexpr double kStep = 3.0517578125e-05;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(RecordOptions, RangesFollowPythonsSliceRules) {
    // Each expected list is what Python's range(1500)[slice] or range(10)[slice] picks, sorted.
    const struct { const char *text; int32_t length; std::vector<int32_t> picked; } rows[] = {
        {":", 4, {0, 1, 2, 3}},           {"::-1", 4, {0, 1, 2, 3}},     {"-3:", 10, {7, 8, 9}},
        {"10:0:-3", 12, {1, 4, 7, 10}},  {"-100:3", 10, {0, 1, 2}},     {"+2:4", 10, {2, 3}},
        {"8:", 10, {8, 9}},               {"::7", 20, {0, 7, 14}},       {":-8:-1", 10, {3, 4, 5, 6, 7, 8, 9}},
        {"1495:99999999999999999999", 1500, {1495, 1496, 1497, 1498, 1499}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<int32_t> got;
        EXPECT_EQ(lv::parse_range(row.text, row.length, got), "");
        EXPECT_EQ(got, row.picked);
    }
    for (const char *refused : {"", "5", "5:5", "3:1", "1:2:0", "a:b", "1:2:3:4", "1.5:2", "- 1:2", "::-1-"}) {
        std::vector<int32_t> got;
        EXPECT_NE(lv::parse_range(refused, 10, got), "") << refused;
    }
    std::vector<lv::StateField> fields;
    EXPECT_EQ(lv::parse_fields("flags,phase", fields), "");
    EXPECT_EQ(fields, (std::vector{lv::StateField::flags, lv::StateField::phase}));
    for (const char *refused : {"", "phase,", "phase,phase", "Phase", "energy", "phase amplitude"})
        EXPECT_NE(lv::parse_fields(refused, fields), "") << refused;
}

struct Var {
    int id = -1;
    std::vector<double> values;
};

TEST(StateRecorder, WritesWhatTheCInterfaceReadsAfterEachSweep) {
    const std::unique_ptr<Lattice, void (*)(Lattice *)> owned(lattice_init(16, 4), lattice_free);
    Lattice *l = owned.get();
    ASSERT_NE(l, nullptr);
    // Cells on both sides of the 64 slots declared before the fold and the 128
    // after it, and one never declared; sweep 3 is not recorded.
    const lv::RecordRequest request{
        {lv::StateField::amplitude, lv::StateField::phase, lv::StateField::phase_vel, lv::StateField::omega,
         lv::StateField::amp_im, lv::StateField::flags},
        {0, 1, 2, 4, 5},
        {0, 5, 63, 64, 100, 127, 128, 4000}};
    char path[] = "/tmp/lumivane_state_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::unique_ptr<char, int (*)(const char *)> removed(path, unlink);
    lv::StateRecorder recorder;
    ASSERT_EQ(recorder.create(path, request, {4242, "system", "0.0", "scalar"}), "");

    const size_t cells = request.cells.size(), fields = request.fields.size();
    std::vector<double> expected, times;
    std::string stages;
    srand(1);
    for (int32_t sweep = 0; sweep <= 5; ++sweep) {
        // Sweep 0 is observed before any sweep ran: no chunk exists, and none may be made.
        if (sweep > 0) lv::integrate(l, kStep);
        const bool extended = sweep >= 3;
        const unsigned seed = 100u + static_cast<unsigned>(sweep);
        srand(seed);
        recorder.after_sweep(l, extended, sweep);
        const int after = rand();
        srand(seed);
        EXPECT_EQ(after, rand()) << "recording sweep " << sweep << " drew a random value";
        if (sweep == 0) {
            EXPECT_TRUE(l->chunks == nullptr || l->chunks[0] == nullptr) << "a chunk was made";
        }
        if (sweep == 3) continue;
        times.push_back(l->time);
        stages += extended ? "extended" : std::string("boot\0\0\0\0", 8);
        for (const lv::StateField f : request.fields)
            for (const int32_t k : request.cells) {
                const Slot *s = sweep > 0 && k < lattice_declared_slots(l) ? lattice_get_slot(l, k) : nullptr;
                const double v = s == nullptr                            ? kNaN
                                 : f == lv::StateField::amplitude ? ap_to_double(s)
                                 : f == lv::StateField::phase     ? s->phase
                                 : f == lv::StateField::phase_vel ? s->phase_vel
                                 : f == lv::StateField::omega     ? s->omega
                                 : f == lv::StateField::amp_im    ? s->amp_im
                                                                  : static_cast<double>(s->flags);
                expected.push_back(v);
            }
        if (sweep == 2) lattice_fold(l);
    }
    ASSERT_EQ(recorder.close(), "");

    int nc = -1;
    ASSERT_EQ(nc_open(path, NC_NOWRITE, &nc), NC_NOERR);
    const std::unique_ptr<int, int (*)(int *)> closed(&nc, [](int *id) { return nc_close(*id); });
    int format = 0;
    nc_inq_format(nc, &format);
    EXPECT_EQ(format, NC_FORMAT_64BIT_OFFSET);
    auto ints = [&](const char *name) {
        int id = -1;
        EXPECT_EQ(nc_inq_varid(nc, name, &id), NC_NOERR) << name;
        std::vector<int> v(name[0] == 's' ? request.sweeps.size() : cells);
        nc_get_var_int(nc, id, v.data());
        return std::vector<int32_t>(v.begin(), v.end());
    };
    EXPECT_EQ(ints("sweep"), request.sweeps);
    EXPECT_EQ(ints("cell"), request.cells);
    int id = -1;
    std::vector<double> got_times(times.size());
    ASSERT_EQ(nc_inq_varid(nc, "time", &id), NC_NOERR);
    nc_get_var_double(nc, id, got_times.data());
    EXPECT_EQ(got_times, times);
    std::string got_stages(stages.size(), '?');
    ASSERT_EQ(nc_inq_varid(nc, "stage", &id), NC_NOERR);
    nc_get_var_text(nc, id, got_stages.data());
    EXPECT_EQ(got_stages, stages);
    double seed = 0;
    nc_get_att_double(nc, NC_GLOBAL, "seed", &seed);
    EXPECT_EQ(seed, 4242.0);

    for (size_t f = 0; f < fields; ++f) {
        static const char *const names[] = {"phase", "amplitude", "phase_vel", "omega", "amp_im", "flags"};
        const char *name = names[static_cast<size_t>(request.fields[f])];
        SCOPED_TRACE(name);
        ASSERT_EQ(nc_inq_varid(nc, name, &id), NC_NOERR);
        std::vector<double> got(times.size() * cells);
        ASSERT_EQ(nc_get_var_double(nc, id, got.data()), NC_NOERR);
        for (size_t r = 0; r < times.size(); ++r)
            for (size_t c = 0; c < cells; ++c) {
                const double want = expected[(r * fields + f) * cells + c];
                const double value = got[r * cells + c];
                EXPECT_TRUE(std::isnan(want) ? std::isnan(value) : std::memcmp(&want, &value, 8) == 0)
                    << "sweep " << request.sweeps[r] << ", cell " << request.cells[c] << ": " << value
                    << " written, " << want << " read";
            }
    }
}

}  // namespace
