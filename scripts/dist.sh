#!/usr/bin/env bash
# scripts/dist.sh: the release files in dist/ (make dist). Builds the three
# dist presets (stripped, no build paths or timestamps) and writes, with
# <version> the display version from common/version.h:
#   quillet-<version>-win32.zip, quillet-<version>-win64.zip
#   quillet-<version>-win32-setup.exe, quillet-<version>-win64-setup.exe
#   quillet-<version>-linux-x86_64.tar.gz   (cmake --install of the Linux build)
#   SHA256SUMS
# then checks them with scripts/dist-check.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

VERSION=$(sed -n 's/^#define QUILLET_VERSION_TEXT "\(.*\)"$/\1/p' common/version.h)
[ -n "$VERSION" ] || { echo "dist: no QUILLET_VERSION_TEXT in common/version.h" >&2; exit 1; }
DIST=$PWD/dist
STAGE=$PWD/build/dist-stage

# Every packed file carries this time, so the same binaries pack to the same
# bytes: the release date would do as well, but zip cannot go before 1980.
export SOURCE_DATE_EPOCH=946684800 # 2000-01-01 00:00:00 UTC

for preset in dist-linux dist-win64 dist-win32; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

rm -rf "$DIST" "$STAGE"
mkdir -p "$DIST" "$STAGE"

# stage_windows ARCH DIR: the files the zip and the installer hold. Text
# files get CR LF line ends for Notepad.
stage_windows() {
    local build=build/dist-$1 dir=$2
    mkdir -p "$dir/sdk"
    cp "$build/shell/quillet.exe" "$build/ferrule/ferrule.dll" "$dir/"
    sed 's/$/\r/' README.md >"$dir/README.txt"
    sed 's/$/\r/' LICENSE >"$dir/LICENSE.txt"
    sed 's/$/\r/' ferrule/ferrule.h >"$dir/sdk/ferrule.h"
    find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# same_bytes KIND ARCHIVE NAME: packing the same files again, with other
# times on them, must give the same bytes.
same_bytes() {
    touch "$STAGE/$3"
    python3 scripts/pack.py "$1" "$STAGE/again" "$STAGE" "$3"
    cmp "$2" "$STAGE/again" || { echo "dist: packing $3 twice gave different bytes" >&2; exit 1; }
    rm "$STAGE/again"
}

for arch in win32 win64; do
    name=quillet-$VERSION-$arch
    stage_windows "$arch" "$STAGE/$name"
    echo "== $name.zip"
    python3 scripts/pack.py zip "$DIST/$name.zip" "$STAGE" "$name"
    same_bytes zip "$DIST/$name.zip" "$name"
    echo "== $name-setup.exe"
    makensis -V2 -WX -DARCH="$arch" -DSTAGE="$STAGE/$name" -DOUTFILE="$DIST/$name-setup.exe" installer/quillet.nsi
done

name=quillet-$VERSION-linux-x86_64
echo "== $name.tar.gz"
cmake --install build/dist-linux --prefix "$STAGE/$name" >/dev/null
find "$STAGE/$name" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
python3 scripts/pack.py tar "$DIST/$name.tar.gz" "$STAGE" "$name"
same_bytes tar "$DIST/$name.tar.gz" "$name"

(cd "$DIST" && sha256sum -- *.zip *.exe *.tar.gz >SHA256SUMS)

scripts/dist-check.sh "$DIST"
ls -l "$DIST"
