#!/bin/sh
# CI: the tests that drive the library from several threads at once, built
# with ThreadSanitizer; any report fails the step. Lattices on different
# threads share only the registry of chunk-wide blocks (and a block's marks of
# released buffers), and these tests make, sweep and release lattices side by
# side. The run's private draw source is its own: another thread draws from
# rand() while the run draws.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
cmake -S . -B "$build" -G Ninja -DLUMIVANE_TSAN=ON -DLUMIVANE_BENCH=OFF
cmake --build "$build" --target lumivane_tests lumivane_internal_tests
export TSAN_OPTIONS=halt_on_error=1:exitcode=66
# setarch -R: an older ThreadSanitizer runtime cannot map its shadow memory
# under a recent kernel's wider address randomisation.
setarch "$(uname -m)" -R "$build/lumivane_tests" --gtest_filter='*Concurrent*:LatticeThreads.*'
setarch "$(uname -m)" -R "$build/lumivane_internal_tests" \
  --gtest_filter='RegistryConcurrent.*:RunDraws.OtherThreadsDrawFromRandWhileTheRunDraws'
echo "tsan: threaded tests clean"
