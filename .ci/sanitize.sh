#!/bin/sh
# CI: the whole test suite and one complete run of the program, built with
# AddressSanitizer (leak detection on) and UndefinedBehaviorSanitizer; any
# report fails the step (the build stops at the first report, with no recovery).
set -eu
cd "$(dirname "$0")/.."
build=build-asan
cmake -S . -B "$build" -G Ninja -DLUMIVANE_SANITIZE=ON -DLUMIVANE_BENCH=OFF
cmake --build "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Both tiers: the quick one two at a time, then the heavy one (up to eight
# chunks, about 10 GB under AddressSanitizer) one case at a time. The heavy
# validations (10^9 arguments per function) run unsanitized in the heavy step;
# here their code runs on the quick tier's samples.
ctest --test-dir "$build" --output-on-failure -j2 -LE heavy
ctest --test-dir "$build" --output-on-failure -L heavy -LE validation

# One complete run: it must end with status 0, a clean report and no leak.
out=$(mktemp)
"$build/lumivane-replay" 1765094400 > "$out" 2> "$out.err"
if [ -s "$out.err" ]; then cat "$out.err"; exit 1; fi
tail -n 1 "$out"
rm -f "$out" "$out.err"
echo "sanitize: test suite and complete run clean"
