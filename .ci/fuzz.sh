#!/bin/sh
# CI: the libFuzzer targets, built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, each run for a bounded time (FUZZ_SECONDS, 60 by
# default) on a copy of its seed corpus in fuzz/corpus/. Any crash, sanitizer
# report, leak, timeout or out-of-memory fails the step; the input that caused
# it is kept in build-fuzz/ and the end of the log is printed.
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=build-fuzz
targets="fuzz_arith fuzz_api"

need=""
command -v clang >/dev/null 2>&1 || need="$need clang"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
command -v llvm-symbolizer >/dev/null 2>&1 || need="$need llvm"  # readable stack traces
[ -f /usr/include/gmp.h ] || [ -f /usr/include/x86_64-linux-gnu/gmp.h ] || need="$need libgmp-dev"
if ! command -v clang >/dev/null 2>&1 ||
   [ ! -f "$(clang -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]; then
  need="$need libclang-rt-14-dev"
fi
if [ -n "$need" ]; then
  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $need
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DLUMIVANE_FUZZ=ON -DLUMIVANE_SANITIZE=ON -DLUMIVANE_TESTS=OFF -DLUMIVANE_BENCH=OFF
cmake --build "$build" --target $targets

status=0
summary=""
for t in $targets; do
  work=$(mktemp -d)
  cp fuzz/corpus/"$t"/* "$work"/  # the committed corpus does not grow
  log="$build/$t.log"
  rm -f "$build/$t"-crash-* "$build/$t"-leak-* "$build/$t"-timeout-* "$build/$t"-oom-*
  # One chunk of lattice slots takes 850 MB under the sanitizers; the product's
  # own output is dropped (-close_fd_mask=3), libFuzzer's and the sanitizers' is kept.
  if ! "$build/$t" "$work" -max_total_time="$seconds" -max_len=1024 -timeout=60 \
         -rss_limit_mb=3072 -print_final_stats=1 -close_fd_mask=3 \
         -artifact_prefix="$build/$t-" > "$log" 2>&1 ||
     grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    status=1
    echo "== $t failed; the end of $log:"
    tail -n 60 "$log"
    for f in "$build/$t"-crash-* "$build/$t"-leak-* "$build/$t"-timeout-* "$build/$t"-oom-*; do
      [ -f "$f" ] && echo "reproduce: $build/$t $f"
    done
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary="$summary$t: ${execs:-?} executions (run of at most $seconds s)
"
  rm -rf "$work"
done
printf '%s' "$summary"
[ "$status" -eq 0 ] && echo "fuzz: no crash, sanitizer report or leak"
exit "$status"
