#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, once: only when
# something is missing does it touch apt. Further package names given as
# arguments are installed the same way (bench/deps.sh names its own).
#
# QUILLET_DEPS_DRY_RUN=1 changes and fetches nothing: apt only simulates
# (apt-get -s) on the lists it has, and the script says what it would do.
# QUILLET_APT_LISTS=DIR has apt use the package lists in DIR instead of
# the machine's; in a dry run QUILLET_DPKG_DIR=DIR takes what is installed
# from DIR/status, e.g. a copy of this machine's as it once was.
set -euo pipefail

PACKAGES=(cmake ninja-build g++ make googletest
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
          wine wine64 xvfb iproute2 netcat-openbsd util-linux procps
          clang libclang-rt-14-dev valgrind python3)

# Fault scenarios that make system calls fail (tests/fault/fault.sh).
PACKAGES+=(strace)

# Screenshots of the Windows program (scripts/screenshots.sh).
PACKAGES+=(imagemagick)

# Release files (scripts/dist.sh): the installers, and 7-Zip to list them;
# systemd-analyze checks the service unit, and man its man page.
PACKAGES+=(nsis p7zip-full systemd man-db)
PACKAGES+=("$@")

# Another apt (an unattended upgrade, a second terminal) may hold apt's
# locks for a while: wait for them this long before giving up.
APT_LOCK_WAIT=600
# A mirror in the middle of a sync serves some index files torn ("File has
# unexpected size", "Hash Sum mismatch") for a while: apt-get update is
# tried this many times, this many seconds apart.
UPDATE_TRIES=3
UPDATE_PAUSE=25

DRY_RUN=${QUILLET_DEPS_DRY_RUN:-0}
APT_OPTS=()
DPKG_OPTS=()
[ -z "${QUILLET_APT_LISTS:-}" ] || APT_OPTS+=(-o Dir::State::Lists="$QUILLET_APT_LISTS")
if [ -n "${QUILLET_DPKG_DIR:-}" ]; then
    [ "$DRY_RUN" = 1 ] || { echo "deps: QUILLET_DPKG_DIR is for dry runs (QUILLET_DEPS_DRY_RUN=1)" >&2; exit 2; }
    APT_OPTS+=(-o Dir::State::status="$QUILLET_DPKG_DIR/status")
    DPKG_OPTS+=(--admindir="$QUILLET_DPKG_DIR")
fi
# apt's cache files stand for the machine's own lists and status.
[ ${#APT_OPTS[@]} -eq 0 ] || APT_OPTS+=(-o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
APT_GET=(apt-get "${APT_OPTS[@]}")
APT_CACHE=(apt-cache "${APT_OPTS[@]}")

# installed PACKAGE: whether dpkg has it installed.
installed() {
    [ "$(dpkg-query "${DPKG_OPTS[@]}" -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# run COMMAND...: runs it; in a dry run only says it would.
run() {
    if [ "$DRY_RUN" = 1 ]; then echo "deps: dry run: would run: $*"; else "$@"; fi
}

# apt_update APT-GET...: "APT-GET update". It has no wait of its own for
# the lock on its lists, so it is retried while another apt holds it,
# within APT_LOCK_WAIT; and it is tried UPDATE_TRIES times in all while
# index files fail to come. Returns 1 if some still failed, having named
# them: the lists that did come are used, and whether what is wanted can
# be installed from them is for apt-get -s to say.
apt_update() {
    local err tries=1 deadline=$((SECONDS + APT_LOCK_WAIT))
    if [ "$DRY_RUN" = 1 ]; then
        echo "deps: dry run: would run: $* update"
        return 0
    fi
    err=$(mktemp)
    until "$@" update 2>"$err" && ! grep -q '^[WE]: Failed to fetch' "$err"; do
        if grep -q "Could not get lock" "$err" && [ $SECONDS -lt $deadline ]; then
            echo "deps: another apt holds its lists; waiting"
            sleep 5
            continue
        fi
        # What failed, from apt's W: and E: lines (not the hashes it expected).
        grep -E '^[WE]: ' "$err" | grep -v 'Some index files failed to download' |
            sed -e 's/^[WE]: Failed to fetch \([^ ]*\) */\1: /' -e 's/ *\[IP: [^]]*\]//' \
                -e 's/^/deps: not updated: /' >&2
        if [ $tries -ge $UPDATE_TRIES ]; then
            echo "deps: apt-get update failed $tries times; going on with the lists as they are" >&2
            rm -f "$err"
            return 1
        fi
        echo "deps: apt-get update failed (try $tries of $UPDATE_TRIES); trying again in ${UPDATE_PAUSE}s" >&2
        tries=$((tries + 1))
        sleep "$UPDATE_PAUSE"
    done
    cat "$err" >&2
    rm -f "$err"
}

# apt_try [OPTION...] PACKAGE...: installs them all in one apt-get install,
# begun only once apt-get -s has carried out the whole of it: what cannot
# be had leaves nothing half installed. Nothing is removed (--no-remove),
# and apt takes no older version of an installed package unless told to,
# which this script never does. If apt cannot, returns 1 with its
# complaint in apt_errors.
apt_try() {
    local out opts=(-y -q --no-install-recommends --no-remove -o DPkg::Lock::Timeout="$APT_LOCK_WAIT")
    if ! out=$("${APT_GET[@]}" -s "${opts[@]}" install "$@" 2>&1); then
        apt_errors=$(grep -E '^E: |Depends: ' <<<"$out" || true)
        return 1
    fi
    if [ "$DRY_RUN" = 1 ]; then
        echo "deps: dry run: would run: ${APT_GET[*]} ${opts[*]} install $*"
        grep '^Inst ' <<<"$out" | sed 's/^/deps:   /'
        return 0
    fi
    "${APT_GET[@]}" "${opts[@]}" install "$@" || { echo "deps: apt-get install failed" >&2; exit 1; }
}

# offers PACKAGE...: a line for each package and architecture the lists
# have it for: the architecture, the name and the versions, newest first.
offers() {
    "${APT_CACHE[@]}" madison "$@" 2>/dev/null | awk -F' *[|] *' '
        { n = split($3, w, " "); if (w[n] != "Packages") next
          sub(/^ */, "", $1); sub(/:.*/, "", $1); k = w[n - 1] " " $1
          if (!seen[k " " $2]++) list[k] = list[k] " " $2 }
        END { for (k in list) print k list[k] }'
}

# pair_halves PREFS: the two halves (amd64, i386) of a Multi-Arch: same
# library can only be installed at one version, and apt takes each half's
# candidate on its own. When an index file did not update, or the mirror
# is half synced, they differ (the amd64 half from the security suite, say,
# and the i386 one only from the release) and wine32:i386 cannot be
# installed. For each such library wine32:i386 may need, this appends to
# the apt preferences PREFS a pin of its source package to one version for
# both halves: the installed amd64 version if the lists offer it for i386,
# else the newest they offer for both, above the installed one. Priority
# 990 never takes an installed package back to an older version. The
# libraries with no such version are left in `unpaired`.
pair_halves() {
    local prefs=$1 p s ma st arch v w t names=() libs=() o386 o64
    local -A src pinned inst_i386 inst_amd64 offer_i386 offer_amd64
    unpaired=()
    mapfile -t names < <("${APT_CACHE[@]}" depends --recurse --no-recommends --no-suggests \
        --no-conflicts --no-breaks --no-replaces --no-enhances wine32:i386 |
        sed -n 's/^\([^ <].*\):i386$/\1/p' | sort -u)
    while read -r p s ma; do
        [ "$ma" != same ] || src[$p]=$s
    done < <("${APT_CACHE[@]}" show --no-all-versions "${names[@]/%/:i386}" 2>/dev/null | awk '
        /^Package: /    { p = $2; s = $2; m = "no" }
        /^Source: /     { s = $2 }
        /^Multi-Arch: / { m = $2 }
        /^$/ && p != "" { print p, s, m; p = "" }
        END             { if (p != "") print p, s, m }')
    libs=("${!src[@]}")
    [ ${#libs[@]} -gt 0 ] || return 0
    while read -r st p arch v; do
        [ "$st" = ii ] || continue
        if [ "$arch" = i386 ]; then inst_i386[$p]=$v; else inst_amd64[$p]=$v; fi
    done < <(dpkg-query "${DPKG_OPTS[@]}" -W -f='${db:Status-Abbrev} ${Package} ${Architecture} ${Version}\n' \
        "${libs[@]/%/:amd64}" "${libs[@]/%/:i386}" 2>/dev/null || true)
    while read -r arch p v; do
        case $arch in i386) offer_i386[$p]=$v ;; amd64) offer_amd64[$p]=$v ;; esac
    done < <(offers "${libs[@]/%/:i386}" "${libs[@]/%/:amd64}")

    for p in $(printf '%s\n' "${libs[@]}" | sort); do
        [ -z "${inst_i386[$p]:-}" ] || continue # both halves there already
        w=${inst_amd64[$p]:-}
        read -ra o386 <<<"${offer_i386[$p]:-}"
        read -ra o64 <<<"${offer_amd64[$p]:-}"
        t=
        if [ -n "$w" ] && [[ " ${o386[*]} " == *" $w "* ]]; then
            t=$w
        else
            for v in "${o386[@]}"; do
                [[ " ${o64[*]} " == *" $v "* ]] || continue
                if [ -z "$w" ] || dpkg --compare-versions "$v" gt "$w"; then t=$v; fi
                break
            done
        fi
        if [ -z "$t" ]; then
            [ -z "$w" ] || unpaired+=("$p is $w for amd64; for i386 the lists offer ${o386[*]:-no version}")
        elif [ "$t" != "${o386[0]}" ] || [ "$t" != "${o64[0]:-}" ]; then
            v=$t
            [ -z "$w" ] || v="$t ($([ "$t" = "$w" ] && echo "as installed for amd64" || echo "amd64 goes up from $w"))"
            echo "deps: both halves of $p at $v"
            if [ -z "${pinned[${src[$p]}]:-}" ]; then
                pinned[${src[$p]}]=1
                printf '\nPackage: src:%s\nPin: version %s\nPin-Priority: 990\n' "${src[$p]}" "$t" >>"$prefs"
            fi
        fi
    done
}

# win32_skipped WHY: the 32-bit build cannot be run here. Unless
# QUILLET_SKIP_WIN32_RUN=1, which lets a machine that cannot have it (no
# root, no binfmt_misc, no wine32:i386 to be had) build and test everything
# else, that is the end of the set-up.
win32_skipped() {
    echo "deps: $1" >&2
    if [ "${QUILLET_SKIP_WIN32_RUN:-}" = 1 ]; then
        echo "deps: QUILLET_SKIP_WIN32_RUN=1: the 32-bit build will not be run" >&2
        exit 0
    fi
    echo "deps: set QUILLET_SKIP_WIN32_RUN=1 to test without running the 32-bit build" >&2
    exit 1
}

# install_win32 PACKAGE...: wine32:i386 in one transaction with the given
# packages, the two halves of its libraries matched where apt's own
# candidates would not be. Returns 1, having installed nothing, if apt
# cannot; the libraries to blame, if any, are then in `unpaired`.
install_win32() {
    local prefs status=0
    apt_try "$@" wine32:i386 && return 0
    echo "deps: apt cannot install wine32:i386 as it is; matching the two halves of its libraries"
    prefs=$(mktemp)
    cat /etc/apt/preferences >"$prefs" 2>/dev/null || true
    pair_halves "$prefs"
    apt_try -o Dir::Etc::Preferences="$prefs" "$@" wine32:i386 || status=1
    rm -f "$prefs"
    return $status
}

missing=()
for p in "${PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done
want_win32=0
installed wine32:i386 || want_win32=1
unpaired=()
if [ ${#missing[@]} -gt 0 ] || [ $want_win32 = 1 ]; then
    wanted=("${missing[@]}")
    [ $want_win32 = 0 ] || wanted+=(wine32:i386)
    echo "deps: installing ${wanted[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ $want_win32 = 1 ] && ! dpkg "${DPKG_OPTS[@]}" --print-foreign-architectures | grep -qx i386; then
        run dpkg --add-architecture i386
    fi
    stale=
    apt_update "${APT_GET[@]}" -q || stale=" (some index files did not update; see above)"
    if [ $want_win32 = 0 ]; then
        apt_try "${missing[@]}" || { echo "$apt_errors" >&2; echo "deps: apt cannot install ${missing[*]}$stale" >&2; exit 1; }
    elif ! install_win32 "${missing[@]}"; then
        win32_errors=$apt_errors
        if [ ${#missing[@]} -gt 0 ] && ! apt_try "${missing[@]}"; then
            echo "$apt_errors" >&2
            echo "deps: apt cannot install ${missing[*]}$stale" >&2
            exit 1
        fi
        if [ ${#unpaired[@]} -gt 0 ]; then
            echo "deps: wine32:i386 cannot be installed: the amd64 and i386 halves of a shared library must be one version, and" >&2
            printf 'deps:   %s\n' "${unpaired[@]}" >&2
            win32_skipped "nothing installed is taken back to an older version: run deps.sh again once the archive has synced and apt-get update fetches every index"
        fi
        echo "$win32_errors" >&2
        win32_skipped "apt cannot install wine32:i386$stale"
    fi
elif [ "$DRY_RUN" = 1 ]; then
    echo "deps: dry run: nothing is missing"
fi
if [ "$DRY_RUN" = 1 ]; then
    echo "deps: dry run: nothing was changed; the 32-bit loader was not tried"
    exit 0
fi

# ---- Running the 32-bit Windows build ----
# This kernel may refuse 32-bit code. Wine's 32-bit loader then runs under
# qemu-i386 (user-mode emulation), registered with binfmt_misc as the
# handler of 32-bit x86 programs. Debian 12's own qemu-user-static (7.2)
# takes about a minute to start a program and never returns from a Winsock
# connect(); Debian 13's qemu-i386 (version 10) does both at once. It is a
# static program: only the one file is taken from its package, through an
# apt state of its own, so nothing else on this machine sees Debian 13.
HERE=$(dirname "$(realpath "$0")")
# shellcheck source=wine-paths
. "$HERE/wine-paths"
QEMU_DIR=$HERE/../build/emulation
BINFMT=/proc/sys/fs/binfmt_misc
BINFMT_NAME=quillet-i386
# The ELF header of a 32-bit x86 program, and which of its bytes count.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# fetch_qemu: qemu-i386 from Debian 13's qemu-user into QEMU_DIR.
fetch_qemu() {
    local state uri
    state=$(mktemp -d)
    # The archive this machine's own sources name.
    uri=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
        grep -m1 '/debian/$' || echo http://deb.debian.org/debian/)
    echo "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri trixie main" \
        >"$state/sources.list"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$QEMU_DIR"
    local apt=(apt-get -q -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=-
        -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" -o APT::Sandbox::User=root)
    echo "deps: fetching qemu-i386 from Debian 13's qemu-user"
    apt_update "${apt[@]}" -qq || true
    (cd "$state" && "${apt[@]}" download qemu-user/trixie >/dev/null)
    dpkg-deb --fsys-tarfile "$state"/qemu-user_*.deb | tar -x -O ./usr/bin/qemu-i386 >"$QEMU_DIR/qemu-i386.new"
    chmod 755 "$QEMU_DIR/qemu-i386.new"
    mv "$QEMU_DIR/qemu-i386.new" "$QEMU_DIR/qemu-i386"
    rm -rf "$state"
}

if ! "$WINE32" --version >/dev/null 2>&1; then
    [ "$(id -u)" = 0 ] || win32_skipped "32-bit programs do not run here, and registering an emulator for them needs root"
    [ -x "$QEMU_DIR/qemu-i386" ] || fetch_qemu
    [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
        win32_skipped "binfmt_misc cannot be mounted at $BINFMT"
    # F opens the emulator now, so that it serves in every namespace and
    # after the file has gone; the registration lasts until the next boot.
    [ -e "$BINFMT/$BINFMT_NAME" ] ||
        printf ':%s:M::%s:%s:%s:OCF' "$BINFMT_NAME" "$I386_MAGIC" "$I386_MASK" \
            "$(realpath "$QEMU_DIR/qemu-i386")" >"$BINFMT/register"
    "$WINE32" --version >/dev/null 2>&1 || win32_skipped "$WINE32 does not run, even under qemu-i386"
    echo "deps: 32-bit programs run under $(realpath "$QEMU_DIR/qemu-i386") (binfmt_misc entry $BINFMT_NAME)"
fi
