#!/bin/sh
# CI: the same seed must print the same bytes from every build: g++ and
# clang++, at -O0 and at the release optimisation, the default build, and a
# build without the vector sines and cosines.
set -eu
cd "$(dirname "$0")/.."
seed=${LUMIVANE_CI_SEED:-1765094400}
default=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configure() {  # name c-compiler c++-compiler optimisation [cmake options]
  cmake -S . -B "$work/$1" -G Ninja -DCMAKE_C_COMPILER="$2" -DCMAKE_CXX_COMPILER="$3" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$4" -DCMAKE_CXX_FLAGS_RELEASE="$4" \
        -DLUMIVANE_TESTS=OFF -DLUMIVANE_BENCH=OFF ${5:-} > /dev/null
  cmake --build "$work/$1" --target lumivane-replay
}
configure gcc-O0 gcc g++ -O0
configure gcc-O2 gcc g++ "-O2 -DNDEBUG"
configure clang-O0 clang clang++ -O0
configure clang-O2 clang clang++ "-O2 -DNDEBUG"
configure scalar-maths gcc g++ "-O2 -DNDEBUG" -DLUMIVANE_VECTOR_MATH=OFF

# Two complete runs at a time: the machine has two cores.
"$default/lumivane-replay" "$seed" > "$work/default.out" &
"$work/gcc-O0/lumivane-replay" "$seed" > "$work/gcc-O0.out" &
wait
"$work/gcc-O2/lumivane-replay" "$seed" > "$work/gcc-O2.out" &
"$work/clang-O0/lumivane-replay" "$seed" > "$work/clang-O0.out" &
wait
"$work/clang-O2/lumivane-replay" "$seed" > "$work/clang-O2.out" &
"$work/scalar-maths/lumivane-replay" "$seed" > "$work/scalar-maths.out" &
wait

status=0
for b in gcc-O0 gcc-O2 clang-O0 clang-O2 scalar-maths; do
  if cmp -s "$work/default.out" "$work/$b.out"; then
    echo "$b: identical to the default build ($(wc -c < "$work/$b.out") bytes)"
  else
    echo "$b: DIFFERS from the default build"; diff "$work/default.out" "$work/$b.out" | head -20
    status=1
  fi
done
sha256sum "$work/default.out" | cut -d' ' -f1
exit $status
