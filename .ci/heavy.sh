#!/bin/sh
# CI: the heavy tier on the default build: the cases that hold more than one
# chunk of slots at once (up to eight, about 9 GB) and the complete runs of the
# programs. They run one at a time (each also takes the lumivane_memory lock).
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
ctest --test-dir "$build" --output-on-failure -L heavy
