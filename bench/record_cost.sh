#!/bin/sh
# record_cost.sh ROUNDS SEED [BUILD] [RECORD OPTIONS...]: what recording the
# state costs the complete run: interleaved pairs of P, the plain run, and R,
# the same run with --record to a temporary file (the default selection, or
# the options given). Pairs alternate the order (P R, then R P) so that a
# drift of the host's speed falls on both alike. Prints each run's wall and
# user seconds and peak KiB, per pair R/P of the wall and user time and R - P
# of the peak, their medians, and the record's size; fails when R's report
# differs from P's.
set -eu
rounds=${1:?rounds}; seed=${2:?seed}; build=${3:-build}
[ $# -ge 3 ] && shift 3 || shift $#
prog=$build/lumivane-replay
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
for i in $(seq 1 "$rounds"); do
  if [ $((i % 2)) -eq 1 ]; then order="P R"; else order="R P"; fi
  for w in $order; do
    if [ "$w" = P ]; then
      /usr/bin/time -f "$i $w %e %U %M" -a -o "$work/times" "$prog" "$seed" > "$work/$w.$i.out"
    else
      /usr/bin/time -f "$i $w %e %U %M" -a -o "$work/times" "$prog" "$seed" --record "$work/state.nc" "$@" \
        > "$work/$w.$i.out"
    fi
  done
  cmp -s "$work/P.$i.out" "$work/R.$i.out" || { echo "round $i: the recorded run printed another report"; exit 1; }
done
cat "$work/times"
awk '{ wall[$1, $2] = $3; user[$1, $2] = $4; peak[$1, $2] = $5 } END {
  for (i = 1; (i, "P") in wall; ++i)
    printf "round %d: wall R/P %.3f user R/P %.3f peak R-P %d KiB\n", i, wall[i, "R"] / wall[i, "P"],
           user[i, "R"] / user[i, "P"], peak[i, "R"] - peak[i, "P"] }' "$work/times" > "$work/ratios"
cat "$work/ratios"
m=$(( (rounds + 1) / 2 ))
echo "median: wall R/P $(awk '{ print $5 }' "$work/ratios" | sort -n | sed -n "${m}p")" \
     "user R/P $(awk '{ print $8 }' "$work/ratios" | sort -n | sed -n "${m}p")" \
     "peak R-P $(awk '{ print $11 }' "$work/ratios" | sort -n | sed -n "${m}p") KiB"
echo "record: $(stat -c %s "$work/state.nc") bytes"
