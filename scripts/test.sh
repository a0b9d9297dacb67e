#!/usr/bin/env bash
# Installs what is missing (a headless Chromium among it, for the chat page's
# test in a real browser), checks the layout of the sources, then builds
# and runs every test twice: in the normal build and under AddressSanitizer
# and UndefinedBehaviorSanitizer.
# The normal build's Debian package is checked, and as root installed and run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh dpkg-dev file libcap2-bin xvfb xdotool lintian man-db desktop-file-utils clang-format \
    systemd chromium chromium-driver python3-selenium

# The sources are laid out as .clang-format says, by Debian 12's clang-format.
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENVAR_WERROR=ON
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
scripts/check-package.sh build/release

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUENVAR_WERROR=ON -DQUENVAR_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
