#!/usr/bin/env bash
# Installs what is missing, builds, and runs the benchmarks: the load
# generator against the real server started headless, then the transcript's
# cost per line up to 1,000,000 rows. Takes about half an hour in full.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release
export QT_QPA_PLATFORM=offscreen
build/release/bench/quenvar-load build/release/bench/quenvar-bench-server "$@"
echo
echo "## transcript"
echo
build/release/bench/quenvar-transcript-bench 1000000
