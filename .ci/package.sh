#!/bin/sh
# CI: install the default build into a scratch prefix, then build and run the
# example hosts against the installed package, through find_package and
# through pkg-config, and the Python host through ctypes.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix"

# Route 1: a CMake project that calls find_package(lumivane).
cmake -S examples -B "$work/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/cmake-host"
"$work/cmake-host/host" > "$work/cmake.out"

# Route 2: a plain compiler line from pkg-config.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
libdir=$(pkg-config --variable=libdir lumivane)
cc -std=c11 -Wall -Wextra -Wpedantic -Werror examples/host.c \
   $(pkg-config --cflags --libs lumivane) -Wl,-rpath,"$libdir" -lm -o "$work/pc-host"
"$work/pc-host" > "$work/pc.out"
cmp "$work/cmake.out" "$work/pc.out"
cat "$work/cmake.out"

# The Python host loads the installed library by its SONAME.
LD_LIBRARY_PATH="$libdir" python3 examples/host.py
echo "package: both C routes and the Python host ran"
