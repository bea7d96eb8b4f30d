#!/usr/bin/env bash
# scripts/dist-check.sh: checks the release files that scripts/dist.sh wrote:
# exactly the expected files, each archive's and installer's contents
# against its list, the version in every name, in the programs' and the
# installers' version resources and in the manual pages against
# common/version.h, no build paths or link timestamps in the binaries, and
# the checksums.
#
#   scripts/dist-check.sh [DIST_DIR]   (default dist)
set -euo pipefail
cd "$(dirname "$0")/.."

DIST=$(realpath "${1:-dist}")
header() { sed -n "s/^#define QUILLET_$1 \"\{0,1\}\([^\"]*\)\"\{0,1\}$/\1/p" common/version.h; }
VERSION=$(header VERSION_TEXT)
NUMBERS=$(header VERSION_MAJOR).$(header VERSION_MINOR).$(header VERSION_PATCH).$(header VERSION_BUILD)
failures=0
fail() {
    echo "dist-check: FAIL: $*" >&2
    failures=$((failures + 1))
}

# same_list WHAT EXPECTED ACTUAL: the two lists, one name a line, agree.
same_list() {
    local diffs
    diffs=$(diff <(sort <<<"$2") <(sort <<<"$3")) || fail "$1 differs from its list (< expected, > found):
$diffs"
}

WIN_FILES="LICENSE.txt
README.txt
ferrule.dll
quillet.exe
sdk/ferrule.h"

same_list "dist/" "SHA256SUMS
quillet-$VERSION-linux-x86_64.tar.gz
quillet-$VERSION-win32-setup.exe
quillet-$VERSION-win32.zip
quillet-$VERSION-win64-setup.exe
quillet-$VERSION-win64.zip" "$(ls "$DIST")"

zip_list() {
    python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$1"
}
zip_read() {
    python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' "$1" "$2"
}

# check_program FILE MACHINE: a stripped release program of that machine
# whose version resource carries the header's version.
check_program() {
    local info want
    info=$(python3 scripts/peinfo.py "$1")
    want="machine=$2 timestamp=0 fileversion=$NUMBERS productversion=$NUMBERS FileVersion=$VERSION ProductVersion=$VERSION"
    [ "$info" = "$want" ] || fail "$(basename "$1"): [$info], expected [$want]"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for arch in win32 win64; do
    machine=i386
    [ $arch = win64 ] && machine=amd64
    name=quillet-$VERSION-$arch
    zip=$DIST/$name.zip
    same_list "$name.zip" "$name/${WIN_FILES//$'\n'/$'\n'$name/}" "$(zip_list "$zip")"
    zip_read "$zip" "$name/quillet.exe" >"$scratch/quillet.exe"
    zip_read "$zip" "$name/ferrule.dll" >"$scratch/ferrule.dll"
    check_program "$scratch/quillet.exe" $machine
    grep -q "timestamp=0 " <(python3 scripts/peinfo.py "$scratch/ferrule.dll") ||
        fail "$name's ferrule.dll carries a link time"
    grep -qaF "$PWD" "$scratch/quillet.exe" "$scratch/ferrule.dll" && fail "$name's binaries name the build folder"

    # The installer: its own version resource, and what it would install
    # (7-Zip reads NSIS installers; the plug-ins are Setup's own).
    setup=$DIST/$name-setup.exe
    info=$(python3 scripts/peinfo.py "$setup")
    want="fileversion=$NUMBERS productversion=$NUMBERS FileVersion=$VERSION ProductVersion=$VERSION"
    [ "${info#* timestamp=* }" = "$want" ] || fail "$name-setup.exe: [$info], expected [$want]"
    # shellcheck disable=SC2016 # a literal $ in the pattern
    listed=$(7z l -ba -slt "$setup" | sed -n 's/^Path = //p' | grep -v '^\$PLUGINSDIR/')
    same_list "$name-setup.exe" "$WIN_FILES
uninstall.exe" "$listed"
    7z e -so "$setup" quillet.exe 2>/dev/null | cmp -s - "$scratch/quillet.exe" ||
        fail "$name-setup.exe installs another quillet.exe than $name.zip holds"
done

name=quillet-$VERSION-linux-x86_64
tarball=$DIST/$name.tar.gz
listed=$(python3 -c 'import sys, tarfile; print("\n".join(m.name for m in tarfile.open(sys.argv[1]) if m.isfile()))' "$tarball")
same_list "$name.tar.gz" "$(sed "s|^|$name/|" <<'EOF'
bin/palaver-notify
bin/quillet
bin/wcsrvd
include/ferrule.h
lib/libferrule.so
lib/systemd/system/quillet.service
share/doc/quillet/LICENSE
share/doc/quillet/README.md
share/man/man1/palaver-notify.1
share/man/man8/quillet.8
share/man/man8/wcsrvd.8
EOF
)" "$listed"
tar -xzf "$tarball" -C "$scratch"
for page in man1/palaver-notify.1 man8/quillet.8 man8/wcsrvd.8; do
    grep -q "^\.TH .* \"Quillet $VERSION\"" "$scratch/$name/share/man/$page" || fail "$page does not name version $VERSION"
done
grep -qaF "$PWD" "$scratch/$name/bin/"* "$scratch/$name/lib/"* && fail "the Linux binaries name the build folder"
"$scratch/$name/bin/wcsrvd" --help >/dev/null || fail "the packed wcsrvd does not run"
# The unit, with the tarball copied under /usr/local as the README says,
# as systemd itself reads it: in a tree beside this machine's own units
# (the targets it names), its man page found where it was installed.
root=$scratch/root
mkdir -p "$root/usr/lib/systemd"
cp -a "$scratch/$name" "$root/usr/local"
cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"
# It warns of a key it does not know and goes on: any word from it fails.
verdict=$(MANPATH=$root/usr/local/share/man systemd-analyze verify --root="$root" \
    "$root/usr/local/lib/systemd/system/quillet.service" 2>&1) && [ -z "$verdict" ] ||
    fail "systemd-analyze verify finds fault with the unit: $verdict"

(cd "$DIST" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

if [ $failures -gt 0 ]; then
    echo "dist-check: $failures failures" >&2
    exit 1
fi
echo "dist-check: $(find "$DIST" -type f | wc -l) files as listed, version $VERSION ($NUMBERS) throughout"
