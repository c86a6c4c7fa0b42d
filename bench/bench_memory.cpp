// bench_memory.cpp: the complete run's peak memory, a figure rather than a
// time: lumivane-replay started as a child in each math mode, its maximum
// resident set reported as the counter peak_KiB (the wall time beside it is
// the run's own).
#include <benchmark/benchmark.h>

#include <cstdio>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// The child's peak resident set in KiB, or -1 when it could not be run or failed.
long replay_peak_kib(const char *mode) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char program[] = LUMIVANE_REPLAY;
    char seed[] = "424242";
    char math[32];
    snprintf(math, sizeof math, "--math=%s", mode);
    char *argv[] = {program, seed, math, nullptr};
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

void BM_RunPeak(benchmark::State &state, const char *mode) {
    long peak = -1;
    for (auto _ : state) peak = replay_peak_kib(mode);
    if (peak < 0) state.SkipWithError("lumivane-replay did not complete");
    state.counters["peak_KiB"] = static_cast<double>(peak);
}

}  // namespace

BENCHMARK_CAPTURE(BM_RunPeak, system, "system")->Name("BM_RunPeak/system")->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_RunPeak, correct, "correct")->Name("BM_RunPeak/correct")->Unit(benchmark::kSecond)->Iterations(1);

BENCHMARK_MAIN();
