#!/bin/sh
# overhead_share.sh [BUILD_DIR] [SWEEPS] [floor|host]: where a sweep's time goes, by
# perf samples taken during the sweeps only: the maths library's fixed calls
# (sincos, exp, fmod and their internals) against our own code. The sweeps
# draw as the fixed run does, from its private source, so draws are our own
# code; with `host`, they draw from rand() as a host's calls do, and rand()
# counts apart from both. With
# `floor`, the same for the floor's passes (nothing but those calls and the
# loads and sums that feed them), whose own code is the glue any caller pays.
set -eu
build=${1:-build}
sweeps=${2:-300}
mode=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/ctl"
LUMIVANE_PERF_CTL="$work/ctl" perf record -q -D -1 --control "fifo:$work/ctl" -e cpu-clock \
    -o "$work/perf.data" "$build/sweep_profile" "$sweeps" $mode
perf report -i "$work/perf.data" --no-children --sort dso,sym --stdio 2>/dev/null |
    awk '
    /^#/ || NF < 4 { next }
    {
        share = $1; sub("%", "", share); dso = $2; sym = substr($0, index($0, "] ") + 2)
        if (dso ~ /^liblumivane|^sweep_profile/) { ours += share; if (share >= 0.3) printf "  ours   %6.2f%%  %s\n", share, sym }
        else if (dso ~ /^libm/) fixed += share
        else if (dso ~ /^libc/ && sym ~ /rand|random/) draws += share
        else other += share
    }
    END {
        printf "fixed calls (libm):       %6.2f%%\n", fixed
        printf "our code:                 %6.2f%%\n", ours
        if (draws > 0) printf "rand():                   %6.2f%%\n", draws
        printf "everything else:          %6.2f%%\n", other
    }'
