// record.cpp: the run's state as a field: the record's options, and its
// netCDF file, written sweep by sweep as the run goes.
#include "driver/record.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "apa/internal.h"
#include "lattice/internal.h"

#if LUMIVANE_NETCDF
#include <dlfcn.h>
#include <netcdf.h>
#endif

namespace {

struct FieldInfo {
    const char *name;
    const char *units;
    const char *long_name;
};

// In the order of lv::StateField.
constexpr FieldInfo kFields[] = {
    {"phase", "rad", "phase of the cell, wrapped into one turn"},
    {"amplitude", "1", "real part of the cell's amplitude, read as a double as the sweep reads it"},
    {"phase_vel", "rad/time", "phase velocity of the cell"},
    {"omega", "1/time", "natural frequency of the cell"},
    {"amp_im", "1", "imaginary part of the cell's amplitude"},
    {"flags", "1", "flag bits of the cell (1 negative, 2 excluded, 4 overflow, 8 underflow, 16 locked)"},
};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

std::string field_names() {
    std::string names;
    for (const FieldInfo &f : kFields) names += std::string(names.empty() ? "" : ", ") + f.name;
    return names;
}

// A bound of a range: empty (absent) or a decimal integer with an optional sign.
bool parse_bound(std::string_view text, bool &present, long long &value) {
    present = !text.empty();
    if (!present) return true;
    const std::string copy(text);
    const char *digits = copy.c_str() + (copy[0] == '-' || copy[0] == '+');
    if (*digits < '0' || *digits > '9') return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoll(copy.c_str(), &end, 10);
    // A bound beyond long long is clipped as any out-of-range bound is.
    return *end == '\0';
}

// Python's slice.indices: a bound counted from the end when negative, then clipped.
long long clip(long long bound, long long length, long long lower, long long upper) {
    if (bound < 0) bound = bound < -length ? lower : bound + length;
    if (bound < lower) return lower;
    return bound > upper ? upper : bound;
}

}  // namespace

namespace lv {

std::string parse_fields(const char *text, std::vector<StateField> &out) {
    out.clear();
    std::string_view rest(text);
    for (;;) {
        const size_t comma = rest.find(',');
        const std::string_view name = rest.substr(0, comma);
        size_t k = 0;
        while (k < kFieldCount && name != kFields[k].name) ++k;
        if (name.empty()) return "a field name is empty (the fields are " + field_names() + ")";
        if (k == kFieldCount)
            return "unknown field '" + std::string(name) + "' (the fields are " + field_names() + ")";
        for (const StateField f : out)
            if (f == static_cast<StateField>(k)) return "field '" + std::string(name) + "' given twice";
        out.push_back(static_cast<StateField>(k));
        if (comma == std::string_view::npos) return "";
        rest.remove_prefix(comma + 1);
    }
}

std::string parse_range(const char *text, int32_t length, std::vector<int32_t> &out) {
    out.clear();
    const std::string_view all(text);
    const size_t first = all.find(':');
    if (first == std::string_view::npos) return "is not START:STOP[:STEP]";
    const size_t second = all.find(':', first + 1);
    if (second != std::string_view::npos && all.find(':', second + 1) != std::string_view::npos)
        return "is not START:STOP[:STEP]";
    const std::string_view parts[3] = {
        all.substr(0, first),
        all.substr(first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1),
        second == std::string_view::npos ? std::string_view() : all.substr(second + 1)};
    bool present[3];
    long long value[3] = {0, 0, 1};
    for (int p = 0; p < 3; ++p)
        if (!parse_bound(parts[p], present[p], value[p]))
            return "has '" + std::string(parts[p]) + "' where a whole number or nothing goes";
    const long long step = present[2] ? value[2] : 1;
    if (step == 0) return "has a step of zero";
    const long long n = length;
    const long long lower = step > 0 ? 0 : -1;
    const long long upper = step > 0 ? n : n - 1;
    const long long start = present[0] ? clip(value[0], n, lower, upper) : step > 0 ? lower : upper;
    const long long stop = present[1] ? clip(value[1], n, lower, upper) : step > 0 ? upper : lower;
    if (step > 0) {
        for (long long i = start; i < stop; i += step) out.push_back(static_cast<int32_t>(i));
    } else {
        for (long long i = start; i > stop; i += step) out.push_back(static_cast<int32_t>(i));
        std::reverse(out.begin(), out.end());
    }
    if (out.empty()) return "selects nothing of 0:" + std::to_string(length);
    return "";
}

namespace {

constexpr struct {
    const char *name;
    const char *RecordOptions::*member;
} kOptions[] = {{"--record-fields", &RecordOptions::fields},
                {"--record-sweeps", &RecordOptions::sweeps},
                {"--record-cells", &RecordOptions::cells}};

}  // namespace

bool RecordOptions::take(int &i, int argc, char **argv, std::string &problem) {
    const std::string_view arg(argv[i]);
    for (const auto &[name, member] : kOptions) {
        const std::string_view option(name);
        if (arg.substr(0, option.size()) != option) continue;
        const char *value = nullptr;
        if (arg.size() == option.size()) {
            if (i + 1 == argc) {
                problem = std::string(name) + " needs a value";
                return true;
            }
            value = argv[++i];
        } else if (arg[option.size()] == '=') {
            value = argv[i] + option.size() + 1;
        } else {
            continue;
        }
        if (this->*member != nullptr) problem = std::string(name) + " given twice";
        this->*member = value;
        return true;
    }
    return false;
}

std::string RecordOptions::resolve(const char *path, RecordRequest &out) const {
    if (path == nullptr) {
        for (const auto &[name, member] : kOptions)
            if (this->*member != nullptr) return std::string(name) + " needs --record PATH";
        return "";
    }
    if (std::strcmp(path, "-") == 0) return "--record cannot be - (a netCDF file is written by name)";
    if (const std::string problem = parse_fields(fields != nullptr ? fields : "phase,amplitude", out.fields);
        !problem.empty())
        return "--record-fields: " + problem;
    const struct {
        const char *given, *name, *fallback;
        int32_t length;
        std::vector<int32_t> &out;
    } ranges[] = {{sweeps, "--record-sweeps", "0:1500:10", kRunSweeps, out.sweeps},
                  {cells, "--record-cells", ":", kRecordableCells, out.cells}};
    for (const auto &r : ranges)
        if (const std::string problem = parse_range(r.given != nullptr ? r.given : r.fallback, r.length, r.out);
            !problem.empty())
            return std::string(r.name) + " '" + (r.given != nullptr ? r.given : "") + "' " + problem;
    return "";
}

#if LUMIVANE_NETCDF

namespace {

// The calls a record makes, found in libnetcdf when the first record is
// asked for: the library and the forty it needs are loaded only then.
// Each named once: the member and its lookup both come from this list.
#define LV_NETCDF_CALLS(X) \
    X(nc__create) \
    X(nc_close) \
    X(nc_def_dim) \
    X(nc_def_var) \
    X(nc_enddef) \
    X(nc_put_att_double) \
    X(nc_put_att_text) \
    X(nc_put_var_int) \
    X(nc_put_vara_double) \
    X(nc_put_vara_text) \
    X(nc_set_fill) \
    X(nc_strerror)

struct NetCdf {
#define LV_MEMBER(call) decltype(&::call) call = nullptr;
    LV_NETCDF_CALLS(LV_MEMBER)
#undef LV_MEMBER
    std::string problem;  // why the library could not be loaded; empty when it was
};

const NetCdf &netcdf() {
    static const NetCdf loaded = [] {
        NetCdf n;
        void *library = ::dlopen(LUMIVANE_NETCDF_SONAME, RTLD_NOW | RTLD_LOCAL);
        const char *why = library == nullptr ? ::dlerror() : nullptr;
        auto find = [&](auto &call, const char *name) {
            if (library == nullptr) return;
            call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(::dlsym(library, name));
            if (call == nullptr && why == nullptr) why = ::dlerror();
        };
#define LV_FIND(call) find(n.call, #call);
        LV_NETCDF_CALLS(LV_FIND)
#undef LV_FIND
        if (why != nullptr)
            n.problem = std::string("--record needs libnetcdf (Debian: apt-get install libnetcdf-dev): ") + why;
        return n;
    }();
    return loaded;
}
#undef LV_NETCDF_CALLS

}  // namespace

const char *StateRecorder::unavailable() {
    const std::string &problem = netcdf().problem;
    return problem.empty() ? nullptr : problem.c_str();
}

StateRecorder::~StateRecorder() {
    if (ncid_ >= 0) netcdf().nc_close(ncid_);
}

void StateRecorder::fail(int status) {
    if (problem_.empty()) problem_ = netcdf().nc_strerror(status);
}

namespace {

// The first failing status of a sequence of calls.
struct Checked {
    int status = NC_NOERR;
    Checked &operator<<(int s) {
        if (status == NC_NOERR) status = s;
        return *this;
    }
};

// A value of a declared slot, as the sweep reads it.
double value_of(lv::StateField field, const Slot *s) {
    switch (field) {
    case lv::StateField::phase: return s->phase;
    case lv::StateField::amplitude: return lv::slot_value(s);
    case lv::StateField::phase_vel: return s->phase_vel;
    case lv::StateField::omega: return s->omega;
    case lv::StateField::amp_im: return s->amp_im;
    case lv::StateField::flags: return static_cast<double>(s->flags);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

int put_text(int ncid, int var, const char *name, const char *text) {
    return netcdf().nc_put_att_text(ncid, var, name, std::strlen(text), text);
}

}  // namespace

std::string StateRecorder::create(const std::string &path, const RecordRequest &request,
                                  const RecordAttributes &attributes) {
    if (const char *problem = unavailable()) return problem;
    request_ = request;
    // The classic format with 64-bit offsets: every reader of netCDF opens it
    // (xarray through netCDF4 or scipy), and its fixed-size variables lie
    // whole in the file, so a sweep's row is one contiguous write. Nothing is
    // filled in advance: every row is written, its undeclared cells as NaN.
    size_t buffer = size_t{1} << 18;
    int status = netcdf().nc__create(path.c_str(), NC_CLOBBER | NC_64BIT_OFFSET, 0, &buffer, &ncid_);
    if (status != NC_NOERR) {
        ncid_ = -1;
        return netcdf().nc_strerror(status);
    }
    Checked c;
    int old_mode = 0;
    c << netcdf().nc_set_fill(ncid_, NC_NOFILL, &old_mode);
    int sweep_dim = -1, cell_dim = -1, chars_dim = -1;
    c << netcdf().nc_def_dim(ncid_, "sweep", request.sweeps.size(), &sweep_dim);
    c << netcdf().nc_def_dim(ncid_, "cell", request.cells.size(), &cell_dim);
    c << netcdf().nc_def_dim(ncid_, "stage_chars", 8, &chars_dim);
    int sweep_var = -1, cell_var = -1;
    // No units on the sweep: a reader must not take it for a date.
    c << netcdf().nc_def_var(ncid_, "sweep", NC_INT, 1, &sweep_dim, &sweep_var);
    c << put_text(ncid_, sweep_var, "long_name", "sweep of the run (0-499 the boot, 500-1499 after the fold)");
    c << netcdf().nc_def_var(ncid_, "cell", NC_INT, 1, &cell_dim, &cell_var);
    c << put_text(ncid_, cell_var, "long_name", "slot index");
    c << netcdf().nc_def_var(ncid_, "time", NC_DOUBLE, 1, &sweep_dim, &time_var_);
    c << put_text(ncid_, time_var_, "units", "1");
    c << put_text(ncid_, time_var_, "long_name", "lattice time after the sweep, in the step's time units");
    const int stage_dims[2] = {sweep_dim, chars_dim};
    c << netcdf().nc_def_var(ncid_, "stage", NC_CHAR, 2, stage_dims, &stage_var_);
    c << put_text(ncid_, stage_var_, "long_name", "stage of the run: boot or extended (after the fold)");
    c << put_text(ncid_, stage_var_, "_Encoding", "utf-8");
    const int dims[2] = {sweep_dim, cell_dim};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    field_vars_.assign(request.fields.size(), -1);
    for (size_t f = 0; f < request.fields.size(); ++f) {
        const FieldInfo &info = kFields[static_cast<size_t>(request.fields[f])];
        c << netcdf().nc_def_var(ncid_, info.name, NC_DOUBLE, 2, dims, &field_vars_[f]);
        c << put_text(ncid_, field_vars_[f], "units", info.units);
        c << put_text(ncid_, field_vars_[f], "long_name", info.long_name);
        c << put_text(ncid_, field_vars_[f], "coordinates", "time stage");
        c << netcdf().nc_put_att_double(ncid_, field_vars_[f], "_FillValue", NC_DOUBLE, 1, &nan);
    }
    const double seed = attributes.seed;  // exact: the classic format has no unsigned 32-bit type
    c << put_text(ncid_, NC_GLOBAL, "Conventions", "CF-1.8");
    c << put_text(ncid_, NC_GLOBAL, "title", "lumivane run state: cells' values after sweeps");
    c << netcdf().nc_put_att_double(ncid_, NC_GLOBAL, "seed", NC_DOUBLE, 1, &seed);
    c << put_text(ncid_, NC_GLOBAL, "math", attributes.math);
    c << put_text(ncid_, NC_GLOBAL, "version", attributes.version);
    c << put_text(ncid_, NC_GLOBAL, "math_path", attributes.math_path);
    c << netcdf().nc_enddef(ncid_);
    c << netcdf().nc_put_var_int(ncid_, sweep_var, request.sweeps.data());
    c << netcdf().nc_put_var_int(ncid_, cell_var, request.cells.data());
    if (c.status != NC_NOERR) return netcdf().nc_strerror(c.status);
    row_.resize(request.fields.size() * request.cells.size());
    return "";
}

void StateRecorder::after_sweep(const Lattice *lattice, bool extended, int32_t run_sweep) {
    if (ncid_ < 0 || !problem_.empty() || next_ >= request_.sweeps.size() || request_.sweeps[next_] != run_sweep)
        return;
    const size_t row = next_++;
    const int32_t declared = declared_slots(lattice);
    const bool readable = slots_present(lattice);
    const size_t cells = request_.cells.size();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (size_t i = 0; i < cells; ++i) {
        const int32_t k = request_.cells[i];
        const Slot *s = readable && k < declared ? declared_slot(lattice, k) : nullptr;
        for (size_t f = 0; f < request_.fields.size(); ++f)
            row_[f * cells + i] = s != nullptr ? value_of(request_.fields[f], s) : nan;
    }
    Checked c;
    const size_t at[2] = {row, 0};
    const size_t one[2] = {1, 8};
    char stage[8] = {};
    std::memcpy(stage, extended ? "extended" : "boot", extended ? 8 : 4);
    c << netcdf().nc_put_vara_double(ncid_, time_var_, at, one, &lattice->time);
    c << netcdf().nc_put_vara_text(ncid_, stage_var_, at, one, stage);
    const size_t count[2] = {1, cells};
    for (size_t f = 0; f < field_vars_.size(); ++f)
        c << netcdf().nc_put_vara_double(ncid_, field_vars_[f], at, count, row_.data() + f * cells);
    if (c.status != NC_NOERR) fail(c.status);
}

std::string StateRecorder::close() {
    if (ncid_ < 0) return problem_.empty() ? "the record was never created" : problem_;
    const int status = netcdf().nc_close(ncid_);
    ncid_ = -1;
    if (status != NC_NOERR) fail(status);
    if (problem_.empty() && next_ != request_.sweeps.size()) problem_ = "the run ended before its last recorded sweep";
    return problem_;
}

#else  // built without libnetcdf

const char *StateRecorder::unavailable() {
    return "--record needs libnetcdf, which this build was made without (Debian: apt-get install "
           "libnetcdf-dev, then configure and build again)";
}

StateRecorder::~StateRecorder() = default;

void StateRecorder::fail(int) {}

std::string StateRecorder::create(const std::string &, const RecordRequest &, const RecordAttributes &) {
    return unavailable();
}

void StateRecorder::after_sweep(const Lattice *, bool, int32_t) {}

std::string StateRecorder::close() { return unavailable(); }

#endif

}  // namespace lv
