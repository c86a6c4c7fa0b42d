#!/bin/sh
# CI: the Python package's type hints, checked by Debian's mypy in its strict
# mode (the package ships py.typed, so a host's type checker reads them too).
set -eu
cd "$(dirname "$0")/.."
if ! /usr/bin/python3 -m mypy --version >/dev/null 2>&1; then
  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-mypy
fi
/usr/bin/python3 -m mypy --strict python/lumivane
