#!/usr/bin/env bash
# Builds the Debian package from the build folder given and checks its
# contents and metadata. As root it then installs the package, has the user
# nobody start the installed program through its window on port 40, checks
# that a client is greeted there, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}

cmake --build "$build" --target package >/dev/null
deb=$(realpath "$(ls "$build"/quenvar-chat-server_*.deb)")
info=$(dpkg-deb -I "$deb")
contents=$(dpkg-deb -c "$deb")
expect() {
    grep -q -E -- "$2" <<<"$1" || { echo "package check failed: no $3 in $deb" >&2; exit 1; }
}
expect "$contents" ' \./usr/bin/quenvar-chat-server$' "program"
expect "$contents" ' \./usr/share/applications/quenvar-chat-server\.desktop$' "desktop entry"
for size in 48x48 64x64 128x128; do
    expect "$contents" " \./usr/share/icons/hicolor/$size/apps/quenvar-chat-server\.png$" "$size icon"
done
expect "$contents" ' \./usr/share/icons/hicolor/scalable/apps/quenvar-chat-server\.svg$' "scalable icon"
expect "$contents" ' \./usr/share/man/man1/quenvar-chat-server\.1\.gz$' "manual page"
expect "$contents" ' \./usr/share/doc/quenvar-chat-server/copyright$' "copyright file"
expect "$contents" ' \./usr/share/doc/quenvar-chat-server/changelog\.gz$' "changelog"
expect "$contents" ' \./usr/share/metainfo/org\.quenvar\.ChatServer\.metainfo\.xml$' "AppStream metadata"
expect "$info" '^ Depends: .*libqt6core6.*libqt6widgets6' "Depends line naming the Qt 6 libraries"
expect "$info" '^ Depends: .*libcap2-bin' "dependency on setcap"
expect "$info" ' postinst ' "post-install step"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
grep '^ Depends:' <<<"$info"

# Debian's own checks: lintian, the desktop entry, and the manual page as
# man renders it (groff's warnings count as failures).
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
lintian --fail-on error,warning "$deb" || { echo "lintian finds errors or warnings in $deb" >&2; exit 1; }
desktop-file-validate "$unpacked/usr/share/applications/quenvar-chat-server.desktop"
manual="$unpacked/usr/share/man/man1/quenvar-chat-server.1.gz"
warnings=$(MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "the manual page renders with warnings: $warnings" >&2; exit 1; }
MANWIDTH=80 man -l "$manual" 2>/dev/null | grep -q -- '--nickname NAME' \
    || { echo "the manual page does not render its options" >&2; exit 1; }
echo "lintian, desktop-file-validate and man: clean"

if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: not root, so the package is not installed and run as the user nobody"
    exit 0
fi

display=:$((80 + RANDOM % 9))
program=
xvfb=
cleanup() {
    rm -rf "$unpacked"
    [ -n "$program" ] && kill "$program" 2>/dev/null
    pkill -x -u nobody quenvar-chat-se 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    dpkg -r quenvar-chat-server >/dev/null 2>&1 || true
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
getcap /usr/bin/quenvar-chat-server | grep -q cap_net_bind_service \
    || { echo "the installed program may not serve ports below 1024" >&2; exit 1; }

Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp -ac >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
runtime=$(mktemp -d)
chown nobody "$runtime"
runuser -u nobody -- env QT_QPA_PLATFORM=xcb DISPLAY="$display" HOME="$runtime" XDG_RUNTIME_DIR="$runtime" \
    /usr/bin/quenvar-chat-server >/dev/null 2>&1 &
program=$!
window=$(DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --name '^Quenvar Chat Server$' | head -n 1 || true)
[ -n "$window" ] || { echo "the installed program, run by nobody, opened no window" >&2; exit 1; }
# As an operator would: a nickname, then Start Server, with port 40 as offered.
# The tab order runs from the tabs to the port box, the nickname box and Start.
DISPLAY=$display xdotool windowfocus --sync "$window"
sleep 1
DISPLAY=$display xdotool key --window "$window" Tab Tab
DISPLAY=$display xdotool type --window "$window" op
DISPLAY=$display xdotool key --window "$window" Tab space
greeting=
for _ in $(seq 50); do
    if exec 3<>/dev/tcp/127.0.0.1/40 2>/dev/null; then
        greeting=$(timeout 5 head -c 4 <&3 || true)
        exec 3<&-
        break
    fi
    sleep 0.1
done
[ "$greeting" = NICK ] || { echo "the installed program, run by nobody, does not serve port 40" >&2; exit 1; }
echo "installed package: the user nobody serves port 40"
