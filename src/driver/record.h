// driver/record.h: the run's state as a field: chosen values of chosen cells
// after chosen sweeps, streamed sweep by sweep to a netCDF file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/internal.h"

namespace lv {

// What can be recorded of a cell, in the order the file names them.
enum class StateField : uint8_t { phase, amplitude, phase_vel, omega, amp_im, flags };

// The sweeps of a run (the trace's run_sweep) and the slots a record may name.
inline constexpr int32_t kRunSweeps = 1500;
inline constexpr int32_t kRecordableCells = 32768;

// What to record: the fields in the order given, the run sweeps and the
// slots, each ascending and without repeats.
struct RecordRequest {
    std::vector<StateField> fields;
    std::vector<int32_t> sweeps;
    std::vector<int32_t> cells;
};

// "" or why the text is refused. A range is START:STOP[:STEP] over
// 0..length-1 with Python's slice rules (each part may be left out, negative
// numbers count from the end, out-of-range bounds are clipped); the indices
// it picks are answered in ascending order, and picking none is refused.
std::string parse_fields(const char *text, std::vector<StateField> &out);
std::string parse_range(const char *text, int32_t length, std::vector<int32_t> &out);

// The record's options as the command line gives them.
struct RecordOptions {
    const char *fields = nullptr;
    const char *sweeps = nullptr;
    const char *cells = nullptr;

    // Takes argv[i] (and the value after it) when it is a --record-* option,
    // advancing i; answers whether it was one. `problem` says why it is
    // refused (given twice, no value).
    bool take(int &i, int argc, char **argv, std::string &problem);
    // The request, with the defaults (phase,amplitude; 0:1500:10; every
    // cell), for a record to `path` (null: --record not given): "" or why
    // the options are refused.
    std::string resolve(const char *path, RecordRequest &out) const;
};

// The global attributes of a record.
struct RecordAttributes {
    unsigned seed;
    const char *math;
    const char *version;
    const char *math_path;  // the path the sines, cosines and exponentials take
};

// Writes the requested state after each requested sweep. It reads only the
// declared slots, through their chunk's block, and only when every chunk
// holding them exists: it never makes a chunk, draws or changes anything.
// A cell not declared after a sweep is NaN.
class StateRecorder final : public SweepObserver {
  public:
    StateRecorder() = default;
    ~StateRecorder();
    StateRecorder(const StateRecorder &) = delete;
    StateRecorder &operator=(const StateRecorder &) = delete;

    // Why this build cannot write records; null when it can.
    static const char *unavailable();

    // Creates the file by name (replacing what is there), defines it and
    // writes its coordinates: "" or why it could not.
    std::string create(const std::string &path, const RecordRequest &request,
                       const RecordAttributes &attributes);
    void after_sweep(const Lattice *lattice, bool extended, int32_t run_sweep) override;
    // Completes and closes the file: "" or the first failure to write it
    // (after which nothing more was written).
    std::string close();

  private:
    void fail(int status);
    RecordRequest request_;
    int ncid_ = -1;
    int time_var_ = -1;
    int stage_var_ = -1;
    std::vector<int> field_vars_;
    size_t next_ = 0;          // the place in request_.sweeps of the next sweep to write
    std::vector<double> row_;  // one sweep's values, field after field
    std::string problem_;
};

}  // namespace lv
