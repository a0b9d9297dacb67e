#!/usr/bin/env bash
# Installs, from Debian's packages, whatever building, testing and running
# the server needs and the machine lacks, and any further packages named as
# arguments. Needs root for apt-get.
set -euo pipefail

packages=(cmake ninja-build g++ qt6-base-dev qt6-base-private-dev qt6-websockets-dev "$@")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
