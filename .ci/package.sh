#!/bin/sh
# CI: install the default build into a scratch prefix, then build and run the
# example hosts against the installed package: host.c through find_package and
# through pkg-config, host.cpp (lumivane.hpp) both ways too, and host.py
# through the installed Python package. All of them must print the same bytes.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix"

# Route 1: a CMake project that calls find_package(lumivane): host and host-cpp.
cmake -S examples -B "$work/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/cmake-host"
"$work/cmake-host/host" > "$work/cmake.out"
"$work/cmake-host/host-cpp" > "$work/cmake-cpp.out"

# Route 2: plain compiler lines from pkg-config.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
libdir=$(pkg-config --variable=libdir lumivane)
cc -std=c11 -Wall -Wextra -Wpedantic -Werror examples/host.c \
   $(pkg-config --cflags --libs lumivane) -Wl,-rpath,"$libdir" -lm -o "$work/pc-host"
"$work/pc-host" > "$work/pc.out"
c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror examples/host.cpp \
    $(pkg-config --cflags --libs lumivane) -Wl,-rpath,"$libdir" -o "$work/pc-host-cpp"
"$work/pc-host-cpp" > "$work/pc-cpp.out"

# The Python host, copied out of the source tree so that only the installed
# package can be imported, under the system's Python: the package finds the
# installed library beside itself, with no LD_LIBRARY_PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
cp examples/host.py "$work/host.py"
export PYTHONPATH="$prefix/lib/python3/dist-packages"
for what in 'lumivane.__file__' \
            '[m.split()[-1] for m in open("/proc/self/maps") if "liblumivane" in m][0]'; do
  found=$(cd "$work" && env -u LD_LIBRARY_PATH -u LUMIVANE_LIBRARY "$python" -c \
          "import lumivane; lumivane.load(); print($what)")
  case "$found" in
    "$prefix"/*) echo "package: $found" ;;
    *) echo "package: $found is not the installed one"; exit 1 ;;
  esac
done
(cd "$work" && env -u LD_LIBRARY_PATH -u LUMIVANE_LIBRARY "$python" host.py) > "$work/py.out"

for out in pc cmake-cpp pc-cpp py; do
  cmp "$work/cmake.out" "$work/$out.out"
done
cat "$work/cmake.out"
echo "package: host.c and host.cpp (both routes each) and host.py printed the same bytes"
