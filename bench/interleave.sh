#!/bin/sh
# interleave.sh ROUNDS SEED [SCALAR_BUILD] [BUILD]: the complete run in interleaved
# rounds of three: S, the scalar build (-DLUMIVANE_VECTOR_MATH=OFF) in the
# system mode; V, the default build in the system mode; C, the default build
# in the correct mode. Rounds alternate the order (S V C, then C V S) so that a
# drift of the host's speed falls on all three alike. Prints each run's wall and
# user seconds and peak KiB, the ratios per round and their medians, and fails
# when V's bytes differ from S's or C's from one round to the next.
set -eu
rounds=${1:?rounds}; seed=${2:?seed}
scalar=${3:-build-scalar}/lumivane-replay; default=${4:-build}/lumivane-replay
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
for i in $(seq 1 "$rounds"); do
  if [ $((i % 2)) -eq 1 ]; then order="S V C"; else order="C V S"; fi
  for w in $order; do
    case $w in
      S) set -- "$scalar" --math=system ;;
      V) set -- "$default" --math=system ;;
      C) set -- "$default" --math=correct ;;
    esac
    prog=$1; shift
    /usr/bin/time -f "$i $w %e %U %M" -a -o "$work/times" "$prog" "$seed" "$@" > "$work/$w.$i.out"
  done
  cmp -s "$work/S.$i.out" "$work/V.$i.out" || { echo "round $i: V differs from S"; exit 1; }
  cmp -s "$work/C.1.out" "$work/C.$i.out" || { echo "round $i: C differs from round 1"; exit 1; }
done
cat "$work/times"
awk '{ t[$1, $2] = $3 } END {
  for (i = 1; (i, "S") in t; ++i)
    printf "round %d: V/S %.3f C/S %.3f\n", i, t[i, "V"] / t[i, "S"], t[i, "C"] / t[i, "S"] }' "$work/times" > "$work/ratios"
cat "$work/ratios"
m=$(( (rounds + 1) / 2 ))
echo "median: V/S $(awk '{ print $4 }' "$work/ratios" | sort -n | sed -n "${m}p")" \
     "C/S $(awk '{ print $6 }' "$work/ratios" | sort -n | sed -n "${m}p")"
