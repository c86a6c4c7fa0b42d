#!/bin/sh
# CI: a build that contracts multiplies and adds into fused multiply-adds (as
# GCC does by default where the target has them) breaks the exact sums and
# products of the vector routine and the correctly rounded functions. Build
# one on purpose and check that both refuse it at first use: the system mode
# falls back to the scalar path and names why, and the correct mode is refused.
set -eu
cd "$(dirname "$0")/.."
dir=build-contract
arch=""
case "$(uname -m)" in
  x86_64) arch="-march=haswell" ;;  # contraction needs FMA in the target
esac
cmake -S . -B "$dir" -G Ninja -DLUMIVANE_CONTRACT_TEST=ON -DCMAKE_CXX_FLAGS="$arch" \
  -DLUMIVANE_TESTS=OFF -DLUMIVANE_BENCH=OFF >/dev/null
cmake --build "$dir" --target lumivane-replay >/dev/null
fail=0
version=$("$dir/lumivane-replay" --version | sed -n 2p)
echo "contracted build: $version"
case "$version" in
  *"built with contracted arithmetic"*) ;;
  "system path: scalar (the CPU lacks"* | "system path: scalar (built without"*)
    echo "  (no vector kernel here to refuse)" ;;
  *) echo "FAIL: the contracted build's kernel was not refused"; fail=1 ;;
esac
status=0
message=$("$dir/lumivane-replay" --math=correct 1 2>&1 >/dev/null) || status=$?
echo "contracted build, --math=correct: status $status: $message"
case "$status:$message" in
  "2:"*"correctly rounded functions were built with contracted arithmetic"*) ;;
  *) echo "FAIL: the contracted build's correct mode was not refused"; fail=1 ;;
esac
exit $fail
