#!/bin/sh
# Builds relay-bench and the panel simulator (optimised, in their own build directory) and
# runs the benchmark. Arguments go to relay-bench (./run.sh --help lists them).
# BUILD_DIR chooses the build directory (default: build-bench beside the checkout).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/../build-bench}
if ! command -v socat >/dev/null 2>&1; then
    echo "run.sh: socat is not installed (apt-get install socat)" >&2
    exit 1
fi
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target relay-bench panel-sim >/dev/null
exec "$build/relay-bench" "$@"
