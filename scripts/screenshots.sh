#!/usr/bin/env bash
# scripts/screenshots.sh: pictures of the Windows program for the README,
# taken under Xvfb: the main window restored from the tray with a log that
# shows registrations, a quit and a match, and the counts in its Statistics
# group; and the About box.
#
#   scripts/screenshots.sh [LINUX_BUILD_DIR] [WIN64_BUILD_DIR]
#   (defaults build/linux and build/win64) writes docs/quillet-main.png and
#   docs/quillet-about.png.
#
# It runs quillet.exe under wine64 beside the Linux wcsrvd inside
# scripts/wine.sh sandbox, as the end-to-end test does, and drives it from
# outside through its window with quillet_probe.
set -euo pipefail
cd "$(dirname "$0")/.."

LINUX_BUILD=$(realpath "${1:-build/linux}")
WIN_BUILD=$(realpath "${2:-build/win64}")
DOCS=$(realpath docs)
. scripts/wine-paths

if [ -z "${SANDBOX_RUN:-}" ]; then
    for f in "$LINUX_BUILD/wcsrvd" "$LINUX_BUILD/palaver-notify" \
        "$WIN_BUILD/shell/quillet.exe" "$WIN_BUILD/tests/shell/quillet_probe.exe"; do
        [ -e "$f" ] || { echo "screenshots: $f is missing; build the linux and win64 presets" >&2; exit 1; }
    done
    command -v import >/dev/null || { echo "screenshots: needs ImageMagick (scripts/deps.sh)" >&2; exit 1; }
    mkdir -p docs
    exec scripts/wine.sh sandbox "$(realpath "$0")" "$LINUX_BUILD" "$WIN_BUILD"
fi

RUN=$SANDBOX_RUN
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

probe() { "$WINE64" "$WIN_BUILD/tests/shell/quillet_probe.exe" "$@"; }

# Cuts the named window (main or about) out of the screen.
shoot() {
    local rect
    rect=$(probe rect "$1" | tr -d '\r')
    read -r x y w h <<<"$rect"
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
    echo "screenshots: $2 (${w} x ${h})"
}

"$LINUX_BUILD/wcsrvd" --name "Tarnwell BBS" --regstring "Tarnwell-0042" >"$RUN/wcsrvd.out" 2>&1 &
pids+=($!)
"$WINE64" "$WIN_BUILD/shell/quillet.exe" >"$RUN/quillet.out" 2>&1 &
pids+=($!)

for _ in $(seq 120); do
    probe log 2>/dev/null | grep -q -- "- Started to Listen for IDENT Connections" && break
    sleep 0.5
done

# Users connect, one leaves, and a chat server asks who another is: the
# log shows each, the Statistics group counts them.
"$LINUX_BUILD/palaver-notify" connect 7 6667 40000 bob >/dev/null
"$LINUX_BUILD/palaver-notify" connect 3 194 1234 alice >/dev/null
"$LINUX_BUILD/palaver-notify" quit 7 >/dev/null
exec 3<>/dev/tcp/127.0.0.1/113
printf '1234 , 194\r\n' >&3
timeout 20 cat <&3 >/dev/null
exec 3<&-

probe restore
sleep 2
shoot main "$DOCS/quillet-main.png"

probe about
sleep 2
shoot about "$DOCS/quillet-about.png"

probe quit
