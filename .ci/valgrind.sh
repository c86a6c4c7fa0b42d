#!/bin/sh
# CI: the unit tests, the internal tests and the C hosts under valgrind's memcheck, failing on any
# error or leak. The unit tests run as two shards, one per core.
#
# Left out, each for its cost under memcheck rather than for what it checks
# (the sanitizer step runs all of them):
#   FoldGrowth.LargestFoldableLatticeDoublesToTheLimit  8 chunks, about 9 GB before memcheck's shadow
#   Equivalence.LatticesSpanningTwoChunks               2 chunks swept many times: hours under memcheck
#   Equivalence.ChunkMadeInTheMiddleOfASweep            2 chunks in each of two lattices, swept twice
#   RunDrawsWholeRun.* (internal)                       two complete runs
#   LazyChunk.* (internal)                              two whole chunks filled and compared for four seeds
# and the whole-program tests, which run the complete run four times.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
skip='FoldGrowth.LargestFoldableLatticeDoublesToTheLimit:Equivalence.LatticesSpanningTwoChunks:Equivalence.ChunkMadeInTheMiddleOfASweep'
vg="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect -q"

for host in lumivane_c_host lumivane_own_decl_host lumivane_example_host; do
  $vg "$build/$host" > /dev/null
done
echo "memcheck: C hosts clean"

# Internal pieces on their own: the registry of blocks with stand-in ranges,
# the phase wrap against fmod, the two constants, the run's draw source and
# the release of its partly filled chunk (a few seconds).
$vg "$build/lumivane_internal_tests" --gtest_filter='-RunDrawsWholeRun.*:LazyChunk.*' \
  > "$build/memcheck-internal.log" 2>&1 ||
  { cat "$build/memcheck-internal.log"; exit 1; }
echo "memcheck: internal tests clean"

status=0
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=0 $vg "$build/lumivane_tests" --gtest_filter="-$skip" \
  > "$build/memcheck-0.log" 2>&1 &
p0=$!
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=1 $vg "$build/lumivane_tests" --gtest_filter="-$skip" \
  > "$build/memcheck-1.log" 2>&1 &
p1=$!
wait $p0 || status=1
wait $p1 || status=1
for i in 0 1; do grep -E '^\[  PASSED  \]|^\[  FAILED  \]|^==[0-9]+==' "$build/memcheck-$i.log" | head -40; done
[ $status -eq 0 ] && echo "memcheck: unit tests clean"
exit $status
