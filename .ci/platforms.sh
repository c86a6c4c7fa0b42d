#!/bin/sh
# CI: the correct mode's bytes on other machines. A short workload of our own
# (tests/platform/platform_digest.c: a 4096 x 4 lattice, 60 sweeps, a fold,
# 40 sweeps, one digest of every declared slot and the globals) runs natively
# on x86-64, natively with glibc's FMA variants switched off and the scalar
# path forced, under `qemu-x86_64 -cpu Nehalem` (no AVX), and cross-built for
# aarch64 (its NEON kernel), riscv64 and s390x (big-endian) under qemu-user
# (the scalar path there). In the correct mode
# every digest must be the native one; the system mode's are printed, with
# which differ, for information (riscv64 and s390x run the correct mode
# only, for time). RISC-V's arithmetic returns its canonical NaN where the
# others pass an operand's NaN on with its sign, and the workload's values do
# become NaN: there the digest that reads every NaN as one value must match.
# Under qemu-aarch64 also: the path --version names, the refusal of an x86-64
# path, and the quick tier's maths tests.
# Needs the Debian cross compilers, qemu-user and MPFR, GMP and GoogleTest for
# arm64 (.ci/run installs them).
set -eu
cd "$(dirname "$0")/.."
native=${1:-build}
started=$(date +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seed=${LUMIVANE_CI_SEED:-1765094400}

elapsed() { echo "$(( $(date +%s) - started ))s"; }

# qemu-user for a triple, with the target's runtime as cmake/cross-linux.cmake chooses it.
qemu_for() {  # triple
  if [ -e "/usr/lib/$1/libc.so.6" ]; then echo "qemu-${1%%-*}"; else echo "qemu-${1%%-*} -L /usr/$1"; fi
}

# The digest program against one build's library.
digest_program() {  # compiler build-directory output
  library=$(cd "$2" && pwd)
  "$1" -std=c11 -O2 -Wall -Wextra -Wpedantic -Werror -Iinclude tests/platform/platform_digest.c \
       -L"$library" -llumivane -Wl,-rpath,"$library" -lm -o "$3"
}

# A cross build: the library and the replay for every triple; for aarch64
# also the maths tests, run under qemu below.
cross_build() {  # triple [targets...]
  triple=$1
  shift
  tests=OFF
  [ $# -gt 0 ] && tests=ON
  cmake -S . -B "$work/$triple" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cross-linux.cmake" \
        -DLUMIVANE_CROSS="$triple" -DLUMIVANE_TESTS=$tests -DLUMIVANE_BENCH=OFF > /dev/null
  cmake --build "$work/$triple" -j2 --target lumivane_shared lumivane-replay "$@" > "$work/$triple.build.log" ||
    { cat "$work/$triple.build.log"; exit 1; }
  digest_program "$triple-gcc" "$work/$triple" "$work/digest-$triple"
  echo "built for $triple ($(elapsed))"
}

digest_program cc "$native" "$work/digest-native"
cross_build aarch64-linux-gnu validate_sincos validate_correct lumivane_internal_tests
cross_build riscv64-linux-gnu
cross_build s390x-linux-gnu

# Each job: NAME MODE ENVIRONMENT COMMAND... (ENVIRONMENT: VAR=value;VAR=value, or -), two at a
# time (two cores).
jobs="$work/jobs"
: > "$jobs"
for mode in correct system; do
  echo "x86-64 $mode - $work/digest-native" >> "$jobs"
  echo "x86-64-no-fma $mode GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA;LUMIVANE_SINCOS=scalar $work/digest-native" >> "$jobs"
  echo "x86-64-nehalem $mode - qemu-x86_64 -cpu Nehalem $work/digest-native" >> "$jobs"
  echo "aarch64 $mode - $(qemu_for aarch64-linux-gnu) $work/digest-aarch64-linux-gnu" >> "$jobs"
done
for triple in riscv64-linux-gnu s390x-linux-gnu; do
  echo "${triple%%-*} correct - $(qemu_for "$triple") $work/digest-$triple" >> "$jobs"
done
running=0
while read -r name mode environment command; do
  if [ "$environment" = - ]; then environment=; fi
  # shellcheck disable=SC2086  # the command's words
  env $(echo "$environment" | tr ";" " ") $command "$mode" "$seed" \
    > "$work/$name-$mode.out" 2> "$work/$name-$mode.err" &
  running=$((running + 1))
  if [ $running -eq 2 ]; then wait; running=0; fi
done < "$jobs"
wait
echo "workloads run ($(elapsed))"

# A digest line: "MODE N slots, time T: EXACT, NaN as one value FOLDED".
folded() { sed 's/: [0-9a-f]*, NaN as one value / /' "$1"; }
status=0
for mode in correct system; do
  reference=$(cat "$work/x86-64-$mode.out")
  echo "$mode mode, native x86-64: $reference"
  while read -r name m environment command; do
    [ "$m" = "$mode" ] && [ "$name" != x86-64 ] || continue
    got=$(cat "$work/$name-$mode.out")
    if [ -s "$work/$name-$mode.err" ] || [ -z "$got" ]; then
      echo "  $name: FAILED"; cat "$work/$name-$mode.err"; status=1
    elif [ "$got" = "$reference" ]; then
      echo "  $name: the same"
    elif [ "$mode" = correct ] && [ "$name" = riscv64 ] &&
         [ "$(folded "$work/$name-$mode.out")" = "$(folded "$work/x86-64-$mode.out")" ]; then
      echo "  $name: the same but for the signs of NaNs (RISC-V's canonical NaN): $got"
    elif [ "$mode" = correct ]; then
      echo "  $name: DIFFERS: $got"; status=1
    else
      echo "  $name: differs (the maths library's bits): $got"
    fi
  done < "$jobs"
done

# The paths under qemu-aarch64, and an x86-64 path refused there: one line, status 2.
a64=$(qemu_for aarch64-linux-gnu)
for triple in aarch64-linux-gnu riscv64-linux-gnu s390x-linux-gnu; do
  echo "${triple%%-*}:"
  $(qemu_for "$triple") "$work/$triple/lumivane-replay" --version | sed -n '2,3s/^/  /p'
done
refusal=$(LUMIVANE_SINCOS=avx2 $a64 "$work/aarch64-linux-gnu/lumivane-replay" 1 2>&1 > /dev/null) && refused=0 || refused=$?
if [ "$refused" -eq 2 ] && [ "$(printf '%s\n' "$refusal" | wc -l)" -eq 1 ]; then
  echo "aarch64, LUMIVANE_SINCOS=avx2: refused ($refusal)"
else
  echo "aarch64, LUMIVANE_SINCOS=avx2: status $refused, not a one-line refusal: $refusal"; status=1
fi

# The quick tier's maths tests, under qemu-aarch64. Without an x87 long double
# validate_correct asks MPFR for every result, so its sample takes a tenth of
# the quick tier's arguments here.
ctest --test-dir "$work/aarch64-linux-gnu" --output-on-failure -j2 -LE heavy \
      -R '^(sincos_|correct_|SinCos8|CorrectlyRounded)' -E '^correct_sample$' || status=1
$a64 "$work/aarch64-linux-gnu/validate_correct" compare 400000 2 > "$work/correct_sample.out" ||
  { cat "$work/correct_sample.out"; status=1; }
grep "differences from MPFR" "$work/correct_sample.out" | sed 's/^/aarch64 validate_correct compare 400000: /; s/;.*//' 
echo "platforms: $(elapsed)"
exit $status
