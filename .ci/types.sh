#!/bin/sh
# CI: the Python package's type hints, checked by Debian's mypy in its strict
# mode (the package ships py.typed, so a host's type checker reads them too).
set -eu
cd "$(dirname "$0")/.."
if ! /usr/bin/python3 -m mypy --version >/dev/null 2>&1; then
  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-mypy
fi
/usr/bin/python3 -m mypy --strict python/lumivane
# And the package as installed (generated modules included), as a host sees it.
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix" >/dev/null
/usr/bin/python3 -m mypy --strict "$prefix"/lib/python3*/dist-packages/lumivane
