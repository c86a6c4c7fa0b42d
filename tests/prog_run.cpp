// prog_run.cpp: the programs as a user runs them: the fixed run's report, its
// reproducibility from a seed, and the replay program's argument checks.
//
// A complete run is expensive (tens of seconds and most of a gigabyte), so
// the whole-program checks share four runs, made two at a time, inside one
// test: each test is its own process under ctest, and a cache shared between
// tests would not survive that.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

void expect_clean_exit(const Outcome &o) {
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "") << "a complete run writes nothing to standard error";
}

TEST(Program, FixedRunIsReproducibleFromItsSeed) {
    // Two at a time: first the same seed twice, then another seed next to the
    // program with its calendar clock pinned to the first seed.
    const auto [first, second] = run_pair(replay("12345"), replay("12345"));
    const auto [other, pinned] = run_pair(replay("54321"), pinned_program("12345"));

    {
        SCOPED_TRACE("lumivane-replay 12345");
        expect_clean_exit(first);
        expect_frame(first.out);
    }
    {
        SCOPED_TRACE("lumivane-replay 12345, again");
        expect_clean_exit(second);
        EXPECT_TRUE(first.out == second.out) << "two runs from one seed printed different reports";
    }
    {
        SCOPED_TRACE("lumivane-replay 54321");
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
}

TEST(Program, ReplayAnswersItsOptionsAndRejectsAMissingOrMalformedSeed) {
    // An option answers on standard output (all of it, or its first line) with
    // status 0; a refusal ends with status 2 before anything runs, printing
    // nothing there and explaining itself on standard error.
    const struct { const char *args; int status; std::string out; bool whole; } rows[] = {
        {"--help", 0, std::string("usage: ") + LUMIVANE_REPLAY + " SEED\n", false},
        {"--version", 0, std::string("lumivane-replay ") + LUMIVANE_VERSION + "\n", true},
        {"", 2, "", true}, {"abc", 2, "", true}, {"12x", 2, "", true}, {"''", 2, "", true},
        {"-5", 2, "", true}, {"1.5", 2, "", true}, {"4294967296", 2, "", true},
        {"1 2", 2, "", true}, {"--help 1", 2, "", true}, {"--verbose", 2, "", true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string("lumivane-replay ") + row.args);
        const Outcome o = run(replay(row.args));
        EXPECT_EQ(o.status, row.status);
        EXPECT_EQ(row.whole ? o.out : o.out.substr(0, row.out.size()), row.out);
        EXPECT_EQ(o.err.empty(), row.status == 0) << o.err;
    }
}

}  // namespace
