#!/bin/sh
# CI: the same seed must print the same bytes from every build: g++ and
# clang++, at -O0 and at the release optimisation, the default build, and a
# build without the vector sines and cosines; in both math modes, and on
# every path LUMIVANE_SINCOS can force here. In the correct mode, also under
# a maths library whose sin, cos, sincos and exp are one ulp off (which must
# change the system mode's bytes).
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

cc -shared -fPIC -O2 tests/perturb_libm.c -o "$work/perturb_libm.so" -ldl -lm

# Two complete runs at a time: the machine has two cores. Each job is
# NAME MODE ENVIRONMENT PROGRAM.
jobs="$work/jobs"
: > "$jobs"
for mode in system correct; do
  echo "default-$mode $mode - $default/lumivane-replay" >> "$jobs"
  for b in gcc-O0 gcc-O2 clang-O0 clang-O2 scalar-maths; do
    echo "$b-$mode $mode - $work/$b/lumivane-replay" >> "$jobs"
  done
  for path in scalar avx2 avx512; do
    # --version --math=MODE refuses a path that mode cannot take here (the
    # system mode's kernels also need an accepted C library).
    can=$(LUMIVANE_SINCOS=$path "$default/lumivane-replay" --version --math="$mode" > /dev/null 2>&1 &&
          echo yes || echo no)
    if [ "$can" = yes ]; then
      echo "sincos-$path-$mode $mode LUMIVANE_SINCOS=$path $default/lumivane-replay" >> "$jobs"
    else
      echo "sincos-$path-$mode: this machine cannot run it"
    fi
  done
done
echo "perturbed-libm-correct correct LD_PRELOAD=$work/perturb_libm.so $default/lumivane-replay" >> "$jobs"
# The control: the shim must change the system mode's bytes, or it proves nothing.
echo "control-perturbed-libm-system system LD_PRELOAD=$work/perturb_libm.so $default/lumivane-replay" >> "$jobs"
running=0
while read -r name mode environment program; do
  if [ "$environment" = - ]; then environment=; fi
  env $environment "$program" "$seed" --math="$mode" > "$work/$name.out" &
  running=$((running + 1))
  if [ $running -eq 2 ]; then wait; running=0; fi
done < "$jobs"
wait

status=0
while read -r name mode environment program; do
  [ "$name" = "default-$mode" ] && continue
  case $name in
    control-*)
      if cmp -s "$work/default-$mode.out" "$work/$name.out"; then
        echo "$name: identical to default-$mode: the shim changes nothing"; status=1
      else
        echo "$name: differs from default-$mode, as it must"
      fi
      continue ;;
  esac
  if cmp -s "$work/default-$mode.out" "$work/$name.out"; then
    echo "$name: identical to default-$mode ($(wc -c < "$work/$name.out") bytes)"
  else
    echo "$name: DIFFERS from default-$mode"; diff "$work/default-$mode.out" "$work/$name.out" | head -20
    status=1
  fi
done < "$jobs"
if cmp -s "$work/default-system.out" "$work/default-correct.out"; then
  echo "the correct mode printed the system mode's bytes: it is not in use"; status=1
fi
for mode in system correct; do
  echo "$mode: $(sha256sum "$work/default-$mode.out" | cut -d' ' -f1)"
done
exit $status
