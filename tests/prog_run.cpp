// prog_run.cpp: the programs as a user runs them: the fixed run's report, its
// reproducibility from a seed, the replay program's trace and summary, and its
// argument checks.
//
// A complete run is expensive (tens of seconds and most of a gigabyte), so
// the whole-program checks share four runs, made two at a time, inside one
// test: each test is its own process under ctest, and a cache shared between
// tests would not survive that.
#include <gtest/gtest.h>
#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include <cstring>
#include <map>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the process did not exit normally
};

std::string quoted(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command line, capturing standard output through the pipe and
// standard error through a temporary file.
Outcome run(const std::string &command) {
    Outcome o;
    char err_path[] = "/tmp/lumivane_prog_errXXXXXX";
    const int fd = mkstemp(err_path);
    if (fd < 0) {
        o.err = "mkstemp failed";
        return o;
    }
    close(fd);
    const std::string line = command + " 2>" + quoted(err_path);
    FILE *pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        unlink(err_path);
        o.err = "popen failed";
        return o;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) o.out.append(buf, n);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) o.status = WEXITSTATUS(status);
    std::ifstream err(err_path, std::ios::binary);
    o.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    unlink(err_path);
    return o;
}

std::string replay(const std::string &args) { return quoted(LUMIVANE_REPLAY) + " " + args; }

std::string pinned_program(const std::string &seconds) {
    return "LD_PRELOAD=" + quoted(LUMIVANE_PIN_TIME) + " LUMIVANE_PINNED_TIME=" + seconds + " " +
           quoted(LUMIVANE_PROGRAM);
}

// Runs both command lines at the same time.
std::pair<Outcome, Outcome> run_pair(const std::string &a, const std::string &b) {
    auto first = std::async(std::launch::async, run, a);
    auto second = std::async(std::launch::async, run, b);
    return {first.get(), second.get()};
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Printed doubles: %.6f, %.3f and %.6e, including what printf makes of NaN and infinity.
const std::string kF6 = R"((-?(?:nan|inf|\d+\.\d{6})))";
const std::string kF3 = R"((-?(?:nan|inf|\d+\.\d{3})))";
const std::string kE6 = R"((-?(?:nan|inf|\d\.\d{6}e[+-]\d{2,3})))";
const std::regex kConsensus(R"(\[CONSENSUS\] Domain locked at t=\d+\.\d{4} \(var=0\.00000[01], evo=\d+\)!)");

// Walks the report line by line and checks its frame: the fixed lines
// exactly, the lines with values by shape and by the ranges the run
// guarantees. The values themselves depend on the seed.
void expect_frame(const std::string &out) {
    ASSERT_FALSE(out.empty());
    const std::string closing = "\n\n=== DEREDU LUMIVANE V2.6 OPERATIONAL ===\n";
    ASSERT_GE(out.size(), closing.size());
    EXPECT_EQ(out.substr(out.size() - closing.size()), closing) << "the run must end on its closing line";

    const std::vector<std::string> lines = lines_of(out);
    size_t at = 0;
    auto next = [&]() -> std::string { return at < lines.size() ? lines[at++] : std::string("<end of output>"); };
    auto expect_line = [&](const std::string &wanted) {
        const std::string got = next();
        EXPECT_EQ(got, wanted) << "line " << at;
        return got == wanted;
    };
    std::smatch m;

    // Start-up and the boot.
    expect_line("[RTC] Using software fallback (CLOCK_MONOTONIC)");
    expect_line("=== Quorith Deredu Lumivane V2.6: Production Ready ===");
    expect_line("");
    expect_line("[Bootloader] Initializing Quorith Deredu Lumivane (APA V2.6)...");
    expect_line("[Bootloader] High-precision constants (PHI, PI) initialized.");
    expect_line("[Bootloader] 4096 instances, 16384 total slots");

    const std::regex saved(R"(\[Checkpoint\] Saved evo (\d+) \(total: (\d+), var=)" + kF6 + R"(\))");
    std::vector<std::string> saved_vars;
    std::string line;
    while ((line = next()) != "[Bootloader] Lattice seeded with 500 RK4 steps") {
        ASSERT_NE(line, "<end of output>") << "no closing line of the boot";
        if (std::regex_match(line, kConsensus)) continue;
        ASSERT_TRUE(std::regex_match(line, m, saved)) << "unexpected boot line " << at << ": " << line;
        const int k = static_cast<int>(saved_vars.size()) + 1;
        EXPECT_EQ(m[1].str(), std::to_string(100 * k)) << line;
        EXPECT_EQ(m[2].str(), std::to_string(k)) << line;
        saved_vars.push_back(m[3].str());
    }
    ASSERT_EQ(saved_vars.size(), 4u) << "the boot saves after sweeps 100, 200, 300 and 400";

    line = next();
    const std::regex report(R"(\[Bootloader\] Omega: )" + kF6 + ", Time: " + kF6 + ", PhaseVar: " + kF6);
    ASSERT_TRUE(std::regex_match(line, m, report)) << line;
    {
        // Each sweep adds its final step (1e-6 to 0.1) to time and a hundredth of it to omega.
        const double omega = std::stod(m[1].str()), time = std::stod(m[2].str());
        EXPECT_GE(time, 500 * 1e-6 - 5e-7) << line;
        EXPECT_LE(time, 500 * 0.1) << line;
        EXPECT_NEAR(omega, 0.01 * time, 6e-7) << line;
    }

    // Constants: the same whatever the seed.
    expect_line("");
    expect_line("High-Precision Constants:");
    expect_line("  PHI: value=1.618033988749895e+00 exp=1 words=64");
    expect_line("  PI:  value=3.141592653589793e+00 exp=2 words=64");

    // Slots 0..7, numbered from 1. Every one was stepped by the boot, so its
    // omega and base are those of a fresh conversion and its flags hold at
    // most the sign and the lock.
    expect_line("");
    expect_line("First 8 slots (post-evolution):");
    const std::regex listed("  D(\\d+): \\|A\\|=" + kE6 + " \xCF\x86=" + kF3 + " \xCF\x89=" + kF3 +
                            " base=" + kF6 + " exp=(-?\\d+) flags=0x([0-9a-f]+)");
    for (int i = 1; i <= 8; ++i) {
        line = next();
        ASSERT_TRUE(std::regex_match(line, m, listed)) << "slot line " << i << ": " << line;
        EXPECT_EQ(m[1].str(), std::to_string(i)) << line;
        const double phase = std::stod(m[3].str()), omega = std::stod(m[4].str());
        const double base = std::stod(m[5].str());
        EXPECT_GE(phase, 0.0) << line;
        EXPECT_LE(phase, 6.284) << line;
        EXPECT_GE(omega, 1.0) << line;
        EXPECT_LE(omega, 1.5) << line;
        EXPECT_GE(base, 1.618034) << line;
        EXPECT_LE(base, 1.628034) << line;
        const unsigned long flags = std::stoul(m[7].str(), nullptr, 16);
        EXPECT_EQ(flags & ~0x11ul, 0u) << line;
    }

    // Checkpoint summary: the four boot snapshots, aged by the later saves,
    // with the variances their save lines reported.
    expect_line("");
    expect_line("Checkpoint Summary:");
    expect_line("  Total snapshots: 4");
    const char *weights[4] = {"0.8574", "0.9025", "0.9500", "1.0000"};
    for (int i = 0; i < 4; ++i)
        expect_line("    Evo " + std::to_string(100 * (i + 1)) + ": weight=" + weights[i] +
                    " var=" + saved_vars[static_cast<size_t>(i)]);

    // Folding and the extended evolution.
    expect_line("");
    expect_line("Testing prismatic folding...");
    expect_line("  Before: 4096 instances");
    expect_line("  After:  8192 instances");
    expect_line("");
    expect_line("Extended evolution (1000 steps to consensus)...");
    const std::regex progress("  Step (\\d+): var=" + kF6 + " consensus=(\\d+)");
    int steps = 0;
    while (!(line = next()).empty()) {
        ASSERT_NE(line, "<end of output>") << "no closing line";
        if (std::regex_match(line, kConsensus)) continue;
        ASSERT_TRUE(std::regex_match(line, m, progress)) << "unexpected line " << at << ": " << line;
        EXPECT_EQ(m[1].str(), std::to_string(100 * steps)) << line;
        EXPECT_LT(std::stoi(m[3].str()), 100) << "the count is reset when it reaches 100: " << line;
        ++steps;
    }
    EXPECT_EQ(steps, 10) << "one progress line every 100 of the 1000 sweeps";
    expect_line("=== DEREDU LUMIVANE V2.6 OPERATIONAL ===");
    EXPECT_EQ(at, lines.size()) << "nothing may follow the closing line";
}


// A child process that sleeps until it is ended, or runs `body` first.
struct Child {
    pid_t pid = -1;
    explicit Child(const std::function<void()> &body = {}) {
        pid = fork();
        if (pid == 0) {
            if (body) body();
            for (;;) pause();
        }
    }
    void end(int sig = SIGKILL) const {
        if (pid <= 0) return;
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
    }
    ~Child() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) end();
    }
};

// Whether a process runs (a zombie no one has reaped yet does not).
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// A scratch directory for the files a run writes, removed with what is left in it.
struct Scratch {
    std::string dir;
    Scratch() {
        char name[] = "/tmp/lumivane_prog_filesXXXXXX";
        if (mkdtemp(name) != nullptr) dir = name;
    }
    ~Scratch() {
        for (const std::string &f : files()) unlink((dir + "/" + f).c_str());
        rmdir(dir.c_str());
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (const dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// The summary's values by path ("boot.omega", "slots.0.amp"), each as written:
// a number, "null", or a string in its quotes. Just enough JSON for it.
using Values = std::map<std::string, std::string>;

Values flatten(const std::string &json) {
    Values out;
    size_t at = 0;
    const auto skip = [&](const char *what) {
        while (at < json.size() && std::strchr(what, json[at]) != nullptr) ++at;
    };
    std::function<void(const std::string &)> value = [&](const std::string &path) {
        skip(" \n");
        if (at < json.size() && (json[at] == '{' || json[at] == '[')) {
            const char close = json[at++] == '{' ? '}' : ']';
            for (int i = 0;; ++i) {
                skip(" \n,");
                if (at >= json.size() || json[at] == close) break;
                std::string key = std::to_string(i);
                if (close == '}') {
                    const size_t end = json.find('"', at + 1);
                    key = json.substr(at + 1, end - at - 1);
                    at = json.find(':', end) + 1;
                }
                value(path.empty() ? key : path + "." + key);
            }
            ++at;
            return;
        }
        const size_t end = json[at] == '"' ? json.find('"', at + 1) + 1 : json.find_first_of(",}] \n", at);
        out[path] = json.substr(at, end - at);
        at = end;
    };
    value("");
    skip(" \n");
    EXPECT_EQ(at, json.size()) << "text after the JSON object";
    return out;
}

double number(const Values &v, const std::string &path) {
    const auto it = v.find(path);
    EXPECT_TRUE(it != v.end() && it->second != "null") << "no number at " << path;
    return it == v.end() ? 0.0 : std::strtod(it->second.c_str(), nullptr);
}

struct TraceRow {
    std::string stage;
    int sweep = 0, run_sweep = 0;
    double dt_start = 0, dt_end = 0, time = 0, omega = 0, phase_var = 0;
    int consensus_steps = 0, locked = 0;
};

std::vector<TraceRow> read_trace(const std::string &csv) {
    std::vector<TraceRow> rows;
    const std::vector<std::string> lines = lines_of(csv);
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return rows;
    EXPECT_EQ(lines[0], "stage,sweep,run_sweep,dt_start,dt_end,time,omega,phase_var,consensus_steps,locked");
    for (size_t i = 1; i < lines.size(); ++i) {
        TraceRow r;
        char stage[16] = {};
        const int fields = std::sscanf(lines[i].c_str(), "%15[a-z],%d,%d,%lf,%lf,%lf,%lf,%lf,%d,%d", stage,
                                       &r.sweep, &r.run_sweep, &r.dt_start, &r.dt_end, &r.time, &r.omega,
                                       &r.phase_var, &r.consensus_steps, &r.locked);
        EXPECT_EQ(fields, 10) << "trace line " << i + 1 << ": " << lines[i];
        r.stage = stage;
        rows.push_back(r);
    }
    return rows;
}

// A figure as the report prints it; a value the summary holds as null is
// one the report prints as inf or nan.
std::string printed(const char *format, const Values &v, const std::string &path) {
    const auto it = v.find(path);
    EXPECT_TRUE(it != v.end()) << "no value at " << path;
    if (it == v.end() || it->second == "null") return "null";
    char buf[64];
    if (std::strchr(format, 'd') != nullptr || std::strchr(format, 'x') != nullptr)
        std::snprintf(buf, sizeof buf, format, static_cast<int>(number(v, path)));
    else
        std::snprintf(buf, sizeof buf, format, number(v, path));
    return buf;
}

// The report rebuilt from a run's summary and trace alone: every figure the
// run printed, at the printed precision, where the run printed it.
std::string report_from(const Values &s, const std::vector<TraceRow> &trace) {
    const auto p = [&s](const char *format, const std::string &path) { return printed(format, s, path); };
    std::string r =
        "[RTC] Using software fallback (CLOCK_MONOTONIC)\n"
        "=== Quorith Deredu Lumivane V2.6: Production Ready ===\n\n"
        "[Bootloader] Initializing Quorith Deredu Lumivane (APA V2.6)...\n"
        "[Bootloader] High-precision constants (PHI, PI) initialized.\n";
    r += "[Bootloader] " + p("%d", "boot.instances") + " instances, " + p("%d", "boot.slots") + " total slots\n";
    double time = 0.0;
    int locked = 0, saved = 0;
    int lock = 0;
    auto sweeps = [&](const std::string &stage, auto after_each) {
        for (const TraceRow &row : trace) {
            if (row.stage != stage) continue;
            if (row.locked > locked) {
                const std::string at = "consensus." + std::to_string(lock++) + ".";
                EXPECT_EQ(number(s, at + "t"), time) << "lock in sweep " << row.run_sweep;
                EXPECT_EQ(number(s, at + "var"), row.phase_var) << "lock in sweep " << row.run_sweep;
                EXPECT_EQ(number(s, at + "run_sweep"), row.run_sweep);
                char line[128];
                std::snprintf(line, sizeof line, "[CONSENSUS] Domain locked at t=%.4f (var=%.6f, evo=%d)!\n",
                              time, row.phase_var, static_cast<int>(32768.0 * time));
                r += line;
            }
            time = row.time;
            locked = row.locked;
            after_each(row);
        }
    };
    sweeps("boot", [&](const TraceRow &row) {
        if (row.sweep == 0 || row.sweep % 100 != 0) return;
        const std::string snap = "checkpoints.snapshots." + std::to_string(saved++);
        EXPECT_EQ(number(s, snap + ".var"), row.phase_var) << "snapshot of sweep " << row.sweep;
        r += "[Checkpoint] Saved evo " + std::to_string(row.sweep) + " (total: " + std::to_string(saved) +
             ", var=" + p("%.6f", snap + ".var") + ")\n";
    });
    r += "[Bootloader] Lattice seeded with " + p("%d", "boot.steps") + " RK4 steps\n";
    r += "[Bootloader] Omega: " + p("%.6f", "boot.omega") + ", Time: " + p("%.6f", "boot.time") +
         ", PhaseVar: " + p("%.6f", "boot.phase_var") + "\n";
    r += "\nHigh-Precision Constants:\n";
    for (const std::string name : {"phi", "pi"})
        r += std::string(name == "phi" ? "  PHI: " : "  PI:  ") + "value=" + p("%.15e", "constants." + name + ".value") +
             " exp=" + p("%d", "constants." + name + ".exp") + " words=" + p("%d", "constants." + name + ".words") + "\n";
    r += "\nFirst 8 slots (post-evolution):\n";
    for (int i = 0; s.count("slots." + std::to_string(i) + ".index") != 0; ++i) {
        const std::string d = "slots." + std::to_string(i) + ".";
        r += "  D" + p("%d", d + "index") + ": |A|=" + p("%.6e", d + "amp") + " \xCF\x86=" + p("%.3f", d + "phase") +
             " \xCF\x89=" + p("%.3f", d + "omega") + " base=" + p("%.6f", d + "base") + " exp=" + p("%d", d + "exp") +
             " flags=0x" + p("%x", d + "flags") + "\n";
    }
    r += "\nCheckpoint Summary:\n  Total snapshots: " + p("%d", "checkpoints.total") + "\n";
    for (int i = 0; s.count("checkpoints.snapshots." + std::to_string(i) + ".evo") != 0; ++i) {
        const std::string snap = "checkpoints.snapshots." + std::to_string(i) + ".";
        r += "    Evo " + p("%d", snap + "evo") + ": weight=" + p("%.4f", snap + "weight") + " var=" +
             p("%.6f", snap + "var") + "\n";
    }
    r += "\nTesting prismatic folding...\n  Before: " + p("%d", "fold.before") + " instances\n  After:  " +
         p("%d", "fold.after") + " instances\n";
    r += "\nExtended evolution (1000 steps to consensus)...\n";
    sweeps("extended", [&](const TraceRow &row) {
        if (row.sweep % 100 != 0) return;
        const std::string at = "progress." + std::to_string(row.sweep / 100) + ".";
        EXPECT_EQ(number(s, at + "var"), row.phase_var) << "progress of sweep " << row.sweep;
        EXPECT_EQ(number(s, at + "consensus"), row.consensus_steps) << "progress of sweep " << row.sweep;
        r += "  Step " + p("%d", at + "step") + ": var=" + p("%.6f", at + "var") + " consensus=" +
             p("%d", at + "consensus") + "\n";
    });
    return r + "\n=== DEREDU LUMIVANE V2.6 OPERATIONAL ===\n";
}

// Checks a run's trace and summary against each other and against the report
// it printed.
void expect_trace_and_summary_agree(const std::string &report, const std::string &summary_text,
                                    const std::string &trace_text, unsigned seed) {
    const Values s = flatten(summary_text);
    const std::vector<TraceRow> trace = read_trace(trace_text);
    ASSERT_EQ(trace.size(), 1500u) << "500 boot sweeps and 1000 extended ones";

    // Each row's final step is the one the lattice added to its time and,
    // a hundredth of it, to its omega.
    double time = 0.0, omega = 0.0;
    int lock_sweep = -1, lock_run_sweep = -1, locked = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        const TraceRow &row = trace[i];
        SCOPED_TRACE(::testing::Message() << "trace row " << i + 1);
        EXPECT_EQ(row.stage, i < 500 ? "boot" : "extended");
        EXPECT_EQ(row.sweep, static_cast<int>(i < 500 ? i : i - 500));
        EXPECT_EQ(row.run_sweep, static_cast<int>(i));
        EXPECT_EQ(row.dt_start, 3.0517578125e-05);
        EXPECT_EQ(row.time, time + row.dt_end);
        EXPECT_EQ(row.omega, omega + 0.01 * row.dt_end);
        if (lock_sweep < 0 && row.locked > locked) lock_sweep = row.sweep, lock_run_sweep = row.run_sweep;
        time = row.time;
        omega = row.omega;
        locked = row.locked;
    }
    EXPECT_EQ(number(s, "boot.time"), trace[499].time);
    EXPECT_EQ(number(s, "boot.omega"), trace[499].omega);
    EXPECT_EQ(number(s, "boot.phase_var"), trace[499].phase_var);
    EXPECT_EQ(number(s, "final_phase_var"), trace.back().phase_var);
    EXPECT_EQ(s.at("lock_sweep"), lock_sweep < 0 ? "null" : std::to_string(lock_sweep));
    EXPECT_EQ(s.at("lock_run_sweep"), lock_run_sweep < 0 ? "null" : std::to_string(lock_run_sweep));
    EXPECT_EQ(s.at("lock_stage"), lock_run_sweep < 0    ? "null"
                                  : lock_run_sweep < 500 ? "\"boot\""
                                                         : "\"extended\"");
    EXPECT_EQ(s.at("seed"), std::to_string(seed));
    EXPECT_EQ(s.at("version"), "\"" LUMIVANE_VERSION "\"");
    // The run was asked for no --math: the default mode, and the kernel that served it named.
    EXPECT_EQ(s.at("math"), "\"system\"");
    EXPECT_TRUE(std::regex_match(s.at("sincos"), std::regex("\"[^\"]+\""))) << s.at("sincos");
    EXPECT_GT(number(s, "wall_s"), 0.0);

    // Where the report prints inf or nan, the summary holds null.
    const std::regex non_finite(R"((^|[=:, ])-?(inf|nan)(?=[ ,)\n]|$))");
    EXPECT_EQ(std::regex_replace(report, non_finite, "$1null"), report_from(s, trace));
}

void expect_clean_exit(const Outcome &o) {
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "") << "a complete run writes nothing to standard error";
}

TEST(Program, FixedRunIsReproducibleFromItsSeed) {
    // Two at a time, and a fifth alone: first the same seed twice, the second time with its trace
    // to a file and its summary to standard output (the report then goes to
    // standard error), then another seed next to the program with its
    // calendar clock pinned to the first seed, and given a path request the
    // replay would refuse: the program reads no environment of ours. Last the
    // library's main, from a host with upward rounding and flush-to-zero on.
    // The trace goes through a symbolic link, which stays one; the other seed
    // runs behind a wrapper that does not exec, following the shell above it.
    const Scratch scratch;
    const std::string trace_path = scratch.path("trace.csv");
    ASSERT_EQ(symlink("trace.csv", scratch.path("link.csv").c_str()), 0);
    // Recording every field of every cell observes the whole run and changes nothing.
    const std::string record =
        LUMIVANE_HAS_RECORD ? " --record " + quoted(scratch.path("state.nc")) +
                                  " --record-fields phase,amplitude,phase_vel,omega,amp_im,flags --record-sweeps ::7"
                            : "";
    const auto [first, second] = run_pair(
        replay("12345"), replay("12345 --trace " + quoted(scratch.path("link.csv")) + " --summary -" + record));
    const std::string wrapped = "sh -c '\"$0\" \"$@\"; true' " + replay("54321 --parent $$");
    const auto [other, pinned] = run_pair(wrapped, "LUMIVANE_SINCOS=bogus " + pinned_program("12345"));
    // The library's main, called by a host that left upward rounding, flush-to-zero and
    // denormals-are-zero on.
    const Outcome hosted = run("LD_PRELOAD=" + quoted(LUMIVANE_PIN_TIME) + " LUMIVANE_PINNED_TIME=12345 " +
                               quoted(LUMIVANE_FP_HOST) + " " + quoted(LUMIVANE_LIBRARY) + " skewed");

    {
        SCOPED_TRACE("lumivane-replay 12345");
        expect_clean_exit(first);
        expect_frame(first.out);
    }
    {
        SCOPED_TRACE("lumivane-replay 12345 --trace FILE --summary -" + record);
        EXPECT_EQ(second.status, 0);
        EXPECT_TRUE(first.out == second.err)
            << "two runs from one seed printed different reports, one of them traced and recorded";
        const std::vector<std::string> written =
            LUMIVANE_HAS_RECORD ? std::vector<std::string>{"link.csv", "state.nc", "trace.csv"}
                                : std::vector<std::string>{"link.csv", "trace.csv"};
        EXPECT_EQ(scratch.files(), written)
            << "the trace is renamed into place, and nothing else is left";
        char to[64] = {};
        EXPECT_EQ(readlink(scratch.path("link.csv").c_str(), to, sizeof to - 1), 9) << "the link stays a link";
        std::ifstream in(trace_path, std::ios::binary);
        const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        expect_trace_and_summary_agree(second.err, second.out, trace, 12345);
    }
    {
        SCOPED_TRACE("lumivane-replay 54321, behind a wrapper that does not exec");
        expect_clean_exit(other);
        expect_frame(other.out);
        EXPECT_NE(other.out, first.out) << "the report does not depend on the seed";
    }
    {
        SCOPED_TRACE("lumivane with time() pinned to 12345");
        expect_clean_exit(pinned);
        expect_frame(pinned.out);
        EXPECT_TRUE(pinned.out == first.out)
            << "the program is not seeded with the calendar time in whole seconds";
    }
    {
        SCOPED_TRACE("the library's main from a host with another floating-point environment");
        expect_clean_exit(hosted);
        EXPECT_TRUE(hosted.out == first.out) << "the host's environment changed the run";
    }
}

TEST(Program, ReplayAnswersItsOptionsAndRejectsBadArguments) {
    // An option answers on standard output (all of it, or its first line) with
    // status 0; a refusal ends with status 2 before anything runs, printing
    // nothing there, explaining itself in one line on standard error and
    // leaving no file behind. DIR is a scratch directory.
    const Scratch scratch;
    const std::string version = std::string("lumivane-replay ") + LUMIVANE_VERSION + "\n";
#if defined(__GLIBC__)
    const std::string library = std::string("glibc ") + gnu_get_libc_version();
#else
    const std::string library = "a C library other than glibc";
#endif
    // A path written for another processor than the build's is refused however the CPU is.
#if defined(__aarch64__)
    const std::string foreign = "LUMIVANE_SINCOS=avx2";
#else
    const std::string foreign = "LUMIVANE_SINCOS=neon";
#endif
    // Each mode's path on a line of its own.
    const std::string system_scalar = "system path: scalar (" + library + ", LUMIVANE_SINCOS=scalar)\n";
    const std::string correct_scalar = "correct path: scalar (correctly rounded, LUMIVANE_SINCOS=scalar)\n";
    const struct { std::string args; int status; std::string out; bool whole; std::string env = ""; } rows[] = {
        {"--help", 0, std::string("usage: ") + LUMIVANE_REPLAY + " SEED [--trace PATH] [--summary PATH]", false},
        {"--version", 0, version + "system path: ", false},
        {"--version", 0, version + system_scalar + correct_scalar, true, "LUMIVANE_SINCOS=scalar"},
        {"--version --math=correct", 0, version + correct_scalar, true, "LUMIVANE_SINCOS=scalar"},
        {"--math=system --version", 0, version + system_scalar, true, "LUMIVANE_SINCOS=scalar"},
        {"--version --math=fast", 2, "", true}, {"--version --math=correct --math=system", 2, "", true},
        {"--version --math=correct", 2, "", true, foreign},
        {"--version", 2, "", true, "LUMIVANE_SINCOS=sse9"}, {"1", 2, "", true, "LUMIVANE_SINCOS=AVX2"},
        {"--version", 2, "", true, foreign}, {"1 --math=correct", 2, "", true, foreign},
        {"1 --math=fast", 2, "", true}, {"1 --math=correct --math=system", 2, "", true},
        {"1 --math", 2, "", true},
        {"", 2, "", true}, {"abc", 2, "", true}, {"12x", 2, "", true}, {"''", 2, "", true},
        {"-5", 2, "", true}, {"1.5", 2, "", true}, {"4294967296", 2, "", true},
        {"1 2", 2, "", true}, {"--help 1", 2, "", true}, {"--verbose", 2, "", true},
        {"1 --trace", 2, "", true}, {"1 --summary ''", 2, "", true}, {"--trace DIR/t.csv", 2, "", true},
        {"1 --trace DIR/t.csv --trace DIR/u.csv", 2, "", true},
        {"1 --summary DIR/s.json --summary DIR/s.json", 2, "", true},
        {"1 --trace - --summary -", 2, "", true}, {"1 --trace DIR/x --summary DIR/x", 2, "", true},
        {"1 --trace DIR", 2, "", true}, {"1 --summary DIR/absent/s.json", 2, "", true},
        {"1 --trace DIR/t.csv --summary /proc/s.json", 2, "", true},
        {"x --trace DIR/t.csv", 2, "", true}, {"1 --plot DIR/p.png", 2, "", true},
        {"1 --parent", 2, "", true}, {"1 --parent x", 2, "", true}, {"1 --parent 0", 2, "", true},
        {"1 --parent 1 --parent 1", 2, "", true}, {"1 --parent SIBLING", 2, "", true},
        {"1 --parent GONE", 2, "", true},
        // The record of the state: its options, its ranges, its file.
        {"1 --record-fields phase", 2, "", true}, {"1 --record-cells 0:10 --trace DIR/t.csv", 2, "", true},
        {"1 --record DIR/s.nc --record-fields phase,energy", 2, "", true},
        {"1 --record DIR/s.nc --record-fields ''", 2, "", true},
        {"1 --record DIR/s.nc --record-fields phase,phase", 2, "", true},
        {"1 --record DIR/s.nc --record-sweeps 5", 2, "", true},
        {"1 --record DIR/s.nc --record-sweeps 1500:", 2, "", true},
        {"1 --record DIR/s.nc --record-sweeps=10:0", 2, "", true},
        {"1 --record DIR/s.nc --record-cells 0:10:0", 2, "", true},
        {"1 --record DIR/s.nc --record-cells 1:x", 2, "", true},
        {"1 --record DIR/s.nc --record-cells 0:1 --record-cells 0:2", 2, "", true},
        {"1 --record DIR/s.nc --record-cells", 2, "", true},
        {"1 --record -", 2, "", true}, {"1 --record DIR", 2, "", true},
        {"1 --record DIR/absent/s.nc", 2, "", true}, {"1 --trace DIR/x --record DIR/x", 2, "", true}};
    // A process that is not the replay's ancestor, and one that has ended.
    const Child sibling, gone;
    gone.end();
    for (const auto &row : rows) {
        std::string args = std::regex_replace(row.args, std::regex("DIR"), quoted(scratch.dir));
        args = std::regex_replace(args, std::regex("SIBLING"), std::to_string(sibling.pid));
        args = std::regex_replace(args, std::regex("GONE"), std::to_string(gone.pid));
        SCOPED_TRACE(row.env + " lumivane-replay " + args);
        const Outcome o = run((row.env.empty() ? "" : row.env + " ") + replay(args));
        EXPECT_EQ(o.status, row.status);
        EXPECT_EQ(row.whole ? o.out : o.out.substr(0, row.out.size()), row.out);
        if (row.status == 0)
            EXPECT_EQ(o.err, "");
        else
            EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
        EXPECT_EQ(scratch.files(), std::vector<std::string>{});
    }
}

TEST(Program, ReplayEndedBySignalLeavesNoFile) {
    // Ended while its files are still being written, the replay removes them
    // and ends by the signal, as it would have without them.
    const Scratch scratch;
    const std::string trace = scratch.path("t.csv"), summary = scratch.path("s.json");
    const pid_t pid = fork();
    if (pid == 0) {
        execl(LUMIVANE_REPLAY, LUMIVANE_REPLAY, "7", "--trace", trace.c_str(), "--summary",
              summary.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 500 && scratch.files().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(scratch.files().size(), 2u) << "the temporary files are made before the run";
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(scratch.files(), std::vector<std::string>{});
}

TEST(Program, ReplayKnowsAFileByAnyName) {
    // Two outputs naming one file, however spelt or linked, are refused before
    // anything is made; different files pass that check and meet the next, a
    // --parent that is not the replay's ancestor. Either way nothing is written.
    const Scratch scratch;
    const std::string dir = scratch.dir;
    std::ofstream(scratch.path("x")) << "kept\n";
    ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);
    ASSERT_EQ(link(scratch.path("x").c_str(), scratch.path("hard").c_str()), 0);
    const struct { const char *name, *to; } links[] = {
        {"sym", "x"}, {"chain", "sym"}, {"abs", nullptr}, {"dangling", "new"},
        {"dirlink", "d"}, {"d/up", "../x"}, {"d/back", "../d/../new"}, {"loop", "loop"}, {"loop2", "loop2"}};
    for (const auto &l : links)
        ASSERT_EQ(symlink(l.to != nullptr ? l.to : scratch.path("x").c_str(), scratch.path(l.name).c_str()), 0);
    const struct { const char *trace, *summary; bool same; } rows[] = {
        {"x", "./x", true},          {"x", "d/../x", true},         {"x", "hard", true},
        {"x", "sym", true},          {"chain", "hard", true},       {"abs", "./sym", true},
        {"d/up", "x", true},         {"dangling", "new", true},     {"d/back", "dangling", true},
        {"dirlink/n", "d/n", true},  {"dirlink/../x", "x", true},   {"x", "new", false},
        {"dangling", "x", false},    {"d/x", "sym", false},         {"dirlink/x", "x", false},
        {"loop", "loop2", false}};
    const Child sibling;
    const std::vector<std::string> before = scratch.files();
    for (const auto &row : rows) {
        const std::string args = "1 --trace " + quoted(scratch.path(row.trace)) + " --summary " +
                                 quoted(scratch.path(row.summary)) + " --parent " + std::to_string(sibling.pid);
        SCOPED_TRACE(std::string("--trace ") + row.trace + " --summary " + row.summary);
        const Outcome o = run(replay(args));
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
        EXPECT_EQ(o.err.find("name the same file") != std::string::npos, row.same) << o.err;
        EXPECT_EQ(scratch.files(), before);
        std::ifstream x(scratch.path("x"));
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>()), "kept\n");
    }
    for (const char *name : {"d/up", "d/back"}) unlink(scratch.path(name).c_str());
    rmdir(scratch.path("d").c_str());
}

TEST(Program, ReplayBehindAWrapperEndsWithItsParent) {
    // PARENT starts a wrapper that does not exec, and the wrapper the replay,
    // with --parent PARENT. The run goes on (the replay's own parent is the
    // wrapper), and ends by SIGTERM, files removed, when PARENT is killed
    // outright, or when the wrapper is ended while PARENT lives (as a caller
    // ends a run it stops waiting for: it can signal only the wrapper).
    for (const bool wrapper_ended : {false, true}) {
        SCOPED_TRACE(wrapper_ended ? "the wrapper ended" : "PARENT killed");
        const Scratch scratch;
        const std::string trace = scratch.path("t.csv");
        const Child parent([&] {
            const std::string me = std::to_string(getpid());
            if (fork() == 0) {
                execl("/bin/sh", "sh", "-c", "exec >/dev/null 2>&1; \"$0\" \"$@\"; echo wrapped", LUMIVANE_REPLAY, "7",
                      "--trace", trace.c_str(), "--parent", me.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
        });
        ASSERT_GT(parent.pid, 0);
        for (int i = 0; i < 1000 && scratch.files().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(scratch.files().size(), 1u) << "the run did not start behind the wrapper";
        const std::string part = scratch.files()[0];  // t.csv.PID.XXXXXX.part
        const pid_t pid = std::atoi(part.c_str() + part.find('.', 2) + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(alive(pid)) << "the replay ended although its --parent lives";
        if (wrapper_ended) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const pid_t wrapper = std::atoi(text.c_str() + text.rfind(')') + 4);  // ") S PPID"
            ASSERT_GT(wrapper, 1);
            ASSERT_NE(wrapper, parent.pid);
            kill(wrapper, SIGTERM);
        } else {
            parent.end();
        }
        for (int i = 0; i < 1000 && alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(alive(pid)) << "the replay outlived the process it ran under";
        if (alive(pid)) kill(pid, SIGKILL);
        EXPECT_EQ(scratch.files(), std::vector<std::string>{});
    }
}

}  // namespace
