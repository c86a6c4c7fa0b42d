// replay.cpp: lumivane-replay SEED: the program's run with a chosen seed, to
// reproduce it, and on request its trace (a CSV row per sweep) and summary (a
// JSON object of the report's figures).

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "driver/internal.h"
#include "driver/outputs.h"
#include "driver/parent.h"
#include "driver/record.h"
#include "math/internal.h"

namespace {

const char *&program = lv::program_name;

void usage() {
    std::printf("usage: %s SEED [--trace PATH] [--summary PATH] [--record PATH] [--math=MODE] [--parent PID]\n"
                "Runs lumivane's fixed run with the random generator seeded by SEED (an\n"
                "unsigned 32-bit decimal number) instead of the calendar clock, and prints\n"
                "what lumivane printed when time(NULL) answered SEED.\n"
                "\n"
                "  --trace PATH    also write one CSV row per sweep to PATH\n"
                "  --summary PATH  also write the report's figures as one JSON object to PATH\n"
                "                  (a PATH of - is standard output; the report then goes to\n"
                "                  standard error; at most one of them may be -)\n"
                "  --record PATH   also write chosen cells' state after chosen sweeps to PATH,\n"
                "                  as netCDF, sweep by sweep\n"
                "  --record-fields LIST\n"
                "                  the values: phase, amplitude, phase_vel, omega, amp_im\n"
                "                  and flags, joined by commas (default phase,amplitude)\n"
                "  --record-sweeps START:STOP[:STEP]\n"
                "                  the sweeps (0 to 1499, the trace's run_sweep), by\n"
                "                  Python's slice rules (default 0:1500:10)\n"
                "  --record-cells START:STOP[:STEP]\n"
                "                  the slots (0 to 32767), likewise (default: every one)\n"
                "  --math=MODE     system (the default): the maths library's sin, cos and\n"
                "                  exp, the run lumivane makes; correct: correctly rounded\n"
                "                  ones, the same run on every machine and maths library\n"
                "  --parent PID    end by SIGTERM (removing unfinished files) when process\n"
                "                  PID ends, even if SIGTERM came ignored; PID is the parent\n"
                "                  or a process further up (a wrapper between need not exec,\n"
                "                  and its end ends the run too)\n"
                "  --help          show this text and exit\n"
                "  --version       show the version, and the path each mode's sines, cosines\n"
                "                  and exponentials take here (with --math=MODE, that\n"
                "                  mode's only), and exit\n"
                "\n"
                "LUMIVANE_SINCOS=auto|scalar|avx2|avx512|neon chooses that path (auto: the\n"
                "fastest this machine can prove exact); any path gives the same bytes.\n",
                program);
}

// Refuses the command line: one line on standard error, status 2.
int refuse(const std::string &why, bool hint = true) {
    std::fprintf(stderr, "%s: %s%s\n", program, why.c_str(), hint ? " (see --help)" : "");
    return 2;
}

// The version, and the path each mode's sines, cosines and exponentials take
// here, one line a mode (only `math`'s when given). A mode that cannot run
// here is named with why; a LUMIVANE_SINCOS request a named mode cannot
// honour is refused, as a run would refuse it.
int version(const char *math) {
    if (math != nullptr && std::strcmp(math, "system") != 0 && std::strcmp(math, "correct") != 0)
        return refuse(std::string("--math takes system or correct, not '") + math + "'");
    std::string lines;
    for (const lv::MathMode mode : {lv::MathMode::system, lv::MathMode::correct}) {
        const char *name = lv::math_mode_name(mode);
        if (math != nullptr && std::strcmp(math, name) != 0) continue;
        if (const char *problem = lv::mode_problem(mode)) {
            if (math != nullptr)
                return refuse(std::string("--math=") + name + " cannot run here: " + problem, false);
            lines += std::string(name) + " path: none (" + problem + ")\n";
            continue;
        }
        if (const char *problem = lv::path_request_problem(mode)) return refuse(problem, false);
        lines += std::string(name) + " path: " + lv::sweep_math(mode).path + "\n";
    }
    std::printf("lumivane-replay %s\n%s", LUMIVANE_VERSION, lines.c_str());
    return 0;
}

void append(std::string &to, const char *format, auto... values) {
    const int n = std::snprintf(nullptr, 0, format, values...);
    if (n <= 0) return;
    const size_t at = to.size();
    to.resize(at + static_cast<size_t>(n) + 1);
    std::snprintf(to.data() + at, static_cast<size_t>(n) + 1, format, values...);
    to.resize(at + static_cast<size_t>(n));
}

// A JSON number that reads back as the same double; null for what JSON cannot hold.
void append_double(std::string &to, double v) {
    if (std::isfinite(v))
        append(to, "%.17g", v);
    else
        to += "null";
}

std::string trace_csv(const lv::RunRecord &r) {
    std::string csv = "stage,sweep,run_sweep,dt_start,dt_end,time,omega,phase_var,consensus_steps,locked\n";
    for (size_t i = 0; i < r.sweeps.size(); ++i) {
        const lv::SweepRow &row = r.sweeps[i];
        append(csv, "%s,%d,%zu,%.17g,%.17g,%.17g,%.17g,%.17g,%d,%d\n",
               row.extended ? "extended" : "boot", row.sweep, i, row.dt_start, row.dt_end, row.time,
               row.omega, row.phase_var, row.consensus_steps, row.locked);
    }
    return csv;
}

std::string summary_json(const lv::RunRecord &r, unsigned seed, double wall_s) {
    std::string j;
    const lv::MathMode mode = lv::math_mode();
    append(j, "{\n  \"seed\": %u,\n  \"version\": \"%s\",\n  \"math\": \"%s\",\n  \"sincos\": \"%s\",\n",
           seed, LUMIVANE_VERSION, lv::math_mode_name(mode), lv::sweep_math(mode).path);
    append(j, "  \"boot\": {\"instances\": %d, \"slots\": %d, \"steps\": %d, \"omega\": ",
           r.boot_instances, r.boot_slots, r.boot_steps);
    append_double(j, r.boot_omega);
    j += ", \"time\": ";
    append_double(j, r.boot_time);
    j += ", \"phase_var\": ";
    append_double(j, r.boot_phase_var);
    append(j, "},\n  \"checkpoints\": {\"total\": %d, \"snapshots\": [", r.checkpoint_total);
    for (size_t i = 0; i < r.snapshots.size(); ++i) {
        append(j, "%s{\"evo\": %d, \"weight\": ", i == 0 ? "" : ", ", r.snapshots[i].evo);
        append_double(j, r.snapshots[i].weight);
        j += ", \"var\": ";
        append_double(j, r.snapshots[i].var);
        j += "}";
    }
    j += "]},\n  \"constants\": {";
    const struct { const char *name; const lv::ConstantFigures &c; } constants[] = {
        {"phi", r.phi}, {"pi", r.pi}};
    for (const auto &[name, c] : constants) {
        append(j, "%s\"%s\": {\"value\": ", name == constants[0].name ? "" : ", ", name);
        append_double(j, c.value);
        append(j, ", \"exp\": %ld, \"words\": %zu}", c.exp, c.words);
    }
    j += "},\n  \"slots\": [";
    for (size_t i = 0; i < r.slots.size(); ++i) {
        const lv::SlotFigures &s = r.slots[i];
        append(j, "%s\n    {\"index\": %d, \"amp\": ", i == 0 ? "" : ",", s.index);
        append_double(j, s.amp);
        j += ", \"phase\": ";
        append_double(j, s.phase);
        j += ", \"omega\": ";
        append_double(j, s.omega);
        j += ", \"base\": ";
        append_double(j, s.base);
        append(j, ", \"exp\": %ld, \"flags\": %u}", s.exp, s.flags);
    }
    append(j, "],\n  \"fold\": {\"before\": %d, \"after\": %d},\n  \"progress\": [", r.fold_before,
           r.fold_after);
    for (size_t i = 0; i < r.progress.size(); ++i) {
        append(j, "%s\n    {\"step\": %d, \"var\": ", i == 0 ? "" : ",", r.progress[i].step);
        append_double(j, r.progress[i].var);
        append(j, ", \"consensus\": %d}", r.progress[i].consensus);
    }
    // The first lock, in either stage, as scalars a table can hold; every
    // "[CONSENSUS]" line's figures in `consensus`.
    const lv::LockFigures *first = r.locks.empty() ? nullptr : &r.locks.front();
    j += "],\n  \"lock_sweep\": ";
    if (first == nullptr)
        j += "null,\n  \"lock_stage\": null,\n  \"lock_run_sweep\": null";
    else
        append(j, "%d,\n  \"lock_stage\": \"%s\",\n  \"lock_run_sweep\": %d", first->sweep,
               first->extended ? "extended" : "boot", first->run_sweep);
    j += ",\n  \"consensus\": [";
    for (size_t i = 0; i < r.locks.size(); ++i) {
        const lv::LockFigures &l = r.locks[i];
        append(j, "%s\n    {\"stage\": \"%s\", \"sweep\": %d, \"run_sweep\": %d, \"t\": ",
               i == 0 ? "" : ",", l.extended ? "extended" : "boot", l.sweep, l.run_sweep);
        append_double(j, l.t);
        j += ", \"var\": ";
        append_double(j, l.var);
        append(j, ", \"evo\": %d}", l.evo);
    }
    j += "]";
    j += ",\n  \"final_phase_var\": ";
    append_double(j, r.final_phase_var);
    j += ",\n  \"wall_s\": ";
    append_double(j, wall_s);
    j += "\n}\n";
    return j;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 0) program = argv[0];
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage();
        return 0;
    }
    // --version, alone or with --math=MODE on either side of it.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return version(nullptr);
    if (argc == 3 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[2], "--version") == 0)) {
        const char *other = argv[std::strcmp(argv[1], "--version") == 0 ? 2 : 1];
        if (std::strncmp(other, "--math=", 7) == 0) return version(other + 7);
    }

    const char *seed_text = nullptr;
    const char *math = nullptr;
    const char *parent_text = nullptr;
    lv::OutputFile trace("--trace"), summary("--summary"), state("--record");
    lv::OutputFile *const outputs[] = {&trace, &summary, &state};
    lv::RecordOptions record_options;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::string problem; record_options.take(i, argc, argv, problem)) {
            if (!problem.empty()) return refuse(problem);
            continue;
        }
        if (std::strncmp(arg, "--math=", 7) == 0) {
            if (math != nullptr) return refuse("--math given twice");
            math = arg + 7;
            continue;
        }
        if (std::strcmp(arg, "--parent") == 0) {
            if (parent_text != nullptr) return refuse("--parent given twice");
            if (i + 1 == argc) return refuse("--parent needs a PID");
            parent_text = argv[++i];
            continue;
        }
        lv::OutputFile *out = std::strcmp(arg, "--trace") == 0     ? &trace
                      : std::strcmp(arg, "--summary") == 0 ? &summary
                      : std::strcmp(arg, "--record") == 0  ? &state
                                                           : nullptr;
        if (out != nullptr) {
            if (out->requested()) return refuse(std::string(arg) + " given twice");
            if (i + 1 == argc || argv[i + 1][0] == '\0')
                return refuse(std::string(arg) + " needs a PATH");
            out->path = argv[++i];
        } else if (std::strncmp(arg, "--", 2) == 0) {
            return refuse(std::string("unknown option ") + arg);
        } else if (seed_text != nullptr) {
            return refuse(std::string("one SEED only, not also ") + arg);
        } else {
            seed_text = arg;
        }
    }
    if (seed_text == nullptr) return refuse("no SEED given");
    char *end = nullptr;
    errno = 0;
    const unsigned long seed = std::strtoul(seed_text, &end, 10);
    if (errno != 0 || end == seed_text || *end != '\0' || seed > 0xFFFFFFFFul || seed_text[0] == '-')
        return refuse("SEED must be an unsigned 32-bit decimal number");
    lv::MathMode mode = lv::MathMode::system;
    if (math != nullptr && std::strcmp(math, "correct") == 0)
        mode = lv::MathMode::correct;
    else if (math != nullptr && std::strcmp(math, "system") != 0)
        return refuse(std::string("--math takes system or correct, not '") + math + "'");
    if (const char *problem = lv::mode_problem(mode))
        return refuse(std::string("--math=") + lv::math_mode_name(mode) + " cannot run here: " + problem, false);
    long parent = 0;
    if (parent_text != nullptr) {
        char *parent_end = nullptr;
        errno = 0;
        parent = std::strtol(parent_text, &parent_end, 10);
        if (errno != 0 || parent_end == parent_text || *parent_end != '\0' || parent < 1 || parent > INT_MAX)
            return refuse(std::string("--parent takes a process id, not '") + parent_text + "'");
    }
    if (const char *problem = lv::path_request_problem(mode)) return refuse(problem, false);
    lv::RecordRequest request;
    if (const char *problem = state.requested() ? lv::StateRecorder::unavailable() : nullptr)
        return refuse(problem, false);
    if (const std::string problem = record_options.resolve(state.path, request); !problem.empty())
        return refuse(problem);
    lv::set_math_mode(static_cast<int32_t>(mode));
    if (const std::string problem = lv::outputs_problem(outputs); !problem.empty()) return refuse(problem);
    if (parent_text != nullptr)
        if (const std::string problem = lv::follow_parent(parent); !problem.empty()) return refuse(problem, false);
    // Ended by a signal, the run ends as it would have, without its
    // temporary files; a signal the caller ignores stays ignored.
    lv::remove_outputs_on_signals();
    if (const std::string failed = lv::open_outputs(outputs); !failed.empty()) return refuse(failed, false);
    // A row of the trace takes under 256 bytes, the summary well under 64 KiB.
    for (const auto &[out, bytes] : {std::pair{&trace, uint64_t{256} * lv::kRunSweeps + 4096},
                                     std::pair{&summary, uint64_t{65536}}})
        if (const std::string full = out->reserve(bytes); !full.empty()) return refuse(full, false);
    lv::StateRecorder recorder;
    if (state.requested()) {
        const std::string failed =
            !state.close_stream() ? std::strerror(errno)
                                  : recorder.create(state.temporary(), request,
                                                    {static_cast<unsigned>(seed), lv::math_mode_name(mode),
                                                     LUMIVANE_VERSION, lv::sweep_math(mode).path});
        if (!failed.empty()) return refuse(std::string("cannot write ") + state.path + ": " + failed, false);
        // The record's size is known: its rows and its header.
        const uint64_t row = 8 * (2 + request.fields.size() * request.cells.size());
        if (const std::string full = state.reserve(row * request.sweeps.size() + 8192); !full.empty())
            return refuse(full, false);
    }

    if (!trace.requested() && !summary.requested() && !state.requested())
        return lv::run(static_cast<unsigned>(seed));

    std::FILE *data = lv::data_stream(outputs);
    if (data == nullptr) return 1;

    lv::RunRecord record;
    record.trace = trace.requested();
    if (state.requested()) record.observer = &recorder;
    const auto start = std::chrono::steady_clock::now();
    const int status = lv::run(static_cast<unsigned>(seed), true, &record);
    const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fflush(stdout);
    if (status != 0) return status;
    bool ok = true;
    if (state.requested()) {
        if (const std::string failed = recorder.close(); !failed.empty()) {
            std::fprintf(stderr, "%s: could not write %s: %s\n", program, state.path, failed.c_str());
            state.discard();
            ok = false;
        } else {
            ok = state.commit() && ok;
        }
    }
    if (trace.requested()) ok = trace.finish(trace_csv(record), data) && ok;
    if (summary.requested()) ok = summary.finish(summary_json(record, static_cast<unsigned>(seed), wall_s), data) && ok;
    if (data != stdout && std::fclose(data) != 0 && ok) {
        std::fprintf(stderr, "%s: could not write standard output: %s\n", program, std::strerror(errno));
        ok = false;
    }
    return ok ? 0 : 1;
}
