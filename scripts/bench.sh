#!/usr/bin/env bash
# Installs what is missing, builds, and runs the benchmarks with the server's
# window on a real X server (Xvfb with a window manager, as on a desktop):
# the load generator against the real server, then how long window events
# wait during broadcasts, the transcript's cost per line up to 1,000,000 rows
# and the paint of pages of 1 MiB rows. Arguments go to the load generator
# (--phase NAME, --runs N, --smoke, ...). Takes about forty minutes in full,
# and more with the room phase's capacity search (--capacity 100,1000).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh xvfb openbox ngircd inspircd iptables
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release

if [ -z "${DISPLAY:-}" ]; then
    display=:$((90 + RANDOM % 9))
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    openbox=
    trap 'kill $openbox $xvfb 2>/dev/null || true' EXIT
    export DISPLAY=$display
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
    openbox >/dev/null 2>&1 &
    openbox=$!
fi
unset QT_QPA_PLATFORM

build/release/bench/quenvar-load build/release/bench/quenvar-bench-server "$@"
case " $* " in
    *" --phase "*) exit 0 ;;
esac
echo
echo "## window events during broadcasts to 5,000 clients"
echo
build/release/bench/quenvar-yield-latency 5000 20
echo
echo "## transcript"
echo
build/release/bench/quenvar-transcript-bench 1000000
echo
echo "## pages of 1 MiB rows"
echo
build/release/bench/quenvar-transcript-bench --long-lines
