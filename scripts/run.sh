#!/usr/bin/env bash
# Installs what is missing, builds the server and opens its window.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target quenvar-chat-server
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display to open the window on: set DISPLAY (or run it on a desktop)." >&2
    exit 1
fi
exec build/release/app/quenvar-chat-server
