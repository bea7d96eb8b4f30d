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
command -v import >/dev/null || { echo "screenshots: needs ImageMagick (scripts/deps.sh)" >&2; exit 1; }
mkdir -p docs
DOCS=$(realpath docs)
# shellcheck source=../tests/wine/harness.sh
. tests/wine/harness.sh

# Cuts the named window (main or about) out of the screen.
shoot() {
    local rect
    rect=$(probe rect "$1" | tr -d '\r')
    read -r x y w h <<<"$rect"
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
    echo "screenshots: $2 (${w} x ${h})"
}

start_host --name "Tarnwell BBS" --regstring "Tarnwell-0042" || fail_now "no host server"
start_exe
wait_up "$QUILLET" 60 "$HOST"

# Users connect, one leaves, and a chat server asks who another is: the
# log shows each, the Statistics group counts them.
register 7 6667 40000 bob
register 3 194 1234 alice
"$BIN/palaver-notify" quit 7
exchange 113 '1234 , 194\r\n' 20 >/dev/null

probe restore
sleep 2
shoot main "$DOCS/quillet-main.png"

probe about
sleep 2
shoot about "$DOCS/quillet-about.png"

probe quit
