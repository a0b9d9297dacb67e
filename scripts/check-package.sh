#!/usr/bin/env bash
# Builds the Debian package from the build folder given and checks its
# contents and metadata. As root it then installs the package, has the user
# nobody start the installed program through its window on port 40, checks
# that a client is greeted there, does the same for the service as its unit
# starts it, handed port 40 by the socket, and removes the package again.
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
for unit in service socket; do
    expect "$contents" " \./usr/lib/systemd/system/quenvar-chat-server\.$unit$" "$unit unit"
done
expect "$contents" ' \./etc/default/quenvar-chat-server$' "service settings"
expect "$(dpkg-deb -I "$deb" conffiles)" '^/etc/default/quenvar-chat-server$' "conffile"
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
service=
xvfb=
log=$(mktemp)
cache=$(mktemp -d)
cleanup() {
    rm -rf "$unpacked" "$log" "$cache"
    [ -n "$program" ] && kill "$program" 2>/dev/null
    [ -n "$service" ] && kill "$service" 2>/dev/null
    pkill -x -u nobody quenvar-chat-se 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    dpkg -r quenvar-chat-server >/dev/null 2>&1 || true
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
getcap /usr/bin/quenvar-chat-server | grep -q cap_net_bind_service \
    || { echo "the installed program may not serve ports below 1024" >&2; exit 1; }
systemd-analyze verify --man=no /usr/lib/systemd/system/quenvar-chat-server.{service,socket} \
    || { echo "systemd-analyze finds faults in the installed units" >&2; exit 1; }
# The service's sandbox as systemd rates it: "OK" is 2.0 or below.
systemd-analyze security --offline=true --threshold=20 quenvar-chat-server.service | tail -n 1 \
    || { echo "the service's exposure is above 2.0" >&2; exit 1; }

# Whether a client is greeted on port 40 within ten seconds.
greeted_on_40() {
    local greeting=
    for _ in $(seq 100); do
        if { exec 3<>/dev/tcp/127.0.0.1/40; } 2>/dev/null; then
            greeting=$(timeout 5 head -c 4 <&3 || true)
            exec 3<&-
            break
        fi
        sleep 0.1
    done
    [ "$greeting" = NICK ]
}

# The service as its unit starts it: its command line and environment file,
# as nobody without new privileges (so without the right to bind port 40),
# handed port 40 by systemd-socket-activate as the socket unit would.
unit=/usr/lib/systemd/system/quenvar-chat-server.service
chown nobody "$cache"
(
    set -a
    eval "$(sed -n 's/^Environment=//p' "$unit")"
    . /etc/default/quenvar-chat-server
    set +a
    eval "set -- $(sed -n 's/^ExecStart=//p' "$unit")"
    exec systemd-socket-activate -l 40 -E PORT -E NICKNAME -E CACHE_DIRECTORY="$cache" \
        setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs -- "$@"
) 2>"$log" &
service=$!
greeted_on_40 || { echo "the service, run by nobody, does not serve port 40: $(cat "$log")" >&2; exit 1; }
[ "$(stat -c %U "/proc/$service")" = nobody ] || { echo "the service does not run as nobody" >&2; exit 1; }
kill -TERM "$service"
wait "$service" || { echo "the service ends with status $? on SIGTERM" >&2; exit 1; }
service=
grep -q '^<6>Serving port 40 as Operator\.$' "$log" || { echo "the service logs: $(cat "$log")" >&2; exit 1; }
echo "installed service: the user nobody serves port 40 handed over by a socket, and stops on SIGTERM"

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
greeted_on_40 || { echo "the installed program, run by nobody, does not serve port 40" >&2; exit 1; }
echo "installed package: the user nobody serves port 40"
