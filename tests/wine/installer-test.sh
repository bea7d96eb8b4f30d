#!/usr/bin/env bash
# tests/wine/installer-test.sh: the installer of the build given (the i686
# one under the 32-bit loader, into the 32-bit Program Files, its registry
# entries in the 32-bit view, as on 64-bit Windows; or the x86_64 one),
# silently, in a throwaway Wine prefix (scripts/wine.sh sandbox):
#   1. /S /NOAUTOSTART: the files, the Start-menu shortcuts, the uninstall
#      entry with the header's version, the firewall step's result, the
#      event source, the kept log's folder, and no Run entry;
#   2. the installed quillet.exe starts beside the Linux wcsrvd, though
#      another program holds the name of its instance mutex, and answers an
#      IDENT query for a registered user; with that folder as --log-dir it
#      keeps the answer, and a file of a day long past is gone;
#   3. /S again while it runs: the running copy is asked to quit and ends
#      with status 0, the install succeeds and the Run entry is there, with
#      --wait-for-host, and --irc-names and --log-dir as a new install
#      chose; /S /NOIRCNAMES and /S /NOKEPTLOG take those switches out, and
#      a further /S (an upgrade) keeps them out;
#   4. the silent uninstaller removes the files, the shortcuts and the
#      registry entries, and leaves the kept logs;
#   5. /S /SERVICE: the service, started automatically under the local
#      service account, answers a user whose connection palaver-notify.exe
#      holds, also once the session has ended; quillet.exe started beside it
#      is its window, showing its log and serving nothing; stopped, port 113
#      closes within a few seconds; started while a desktop copy serves, it
#      stops and says why; the uninstaller removes it.
#      Wine runs services in the same session and window station as the
#      desktop programs, so this cannot show that the lock holds between
#      Windows' service session and a user's (it rests on names in
#      Global\, which every session shares), nor that the service serves
#      with no desktop to show anything on; a restart after a failure is
#      not exercised either.
#
#   tests/wine/installer-test.sh [DIST_DIR] [LINUX_BUILD_DIR] [WIN_BUILD_DIR]
#   (defaults dist, build/linux and build/win64)
set -euo pipefail
cd "$(dirname "$0")/../.."

DIST=$(realpath "${1:-dist}")
LINUX_BUILD=$(realpath "${2:-build/linux}")
WIN_BUILD=$(realpath "${3:-build/win64}")
VERSION=$(sed -n 's/^#define QUILLET_VERSION_TEXT "\(.*\)"$/\1/p' common/version.h)
# shellcheck source=harness.sh
. tests/wine/harness.sh
SETUP=$DIST/quillet-$VERSION-$ARCH-setup.exe
[ -e "$SETUP" ] || fail_now "$SETUP is missing; run make dist"
C=$WINEPREFIX/drive_c
# A 32-bit program on 64-bit Windows goes to the 32-bit Program Files.
INSTDIR_WIN='C:\Program Files\Quillet'
[ "$ARCH" = win32 ] && INSTDIR_WIN='C:\Program Files (x86)\Quillet'
INSTDIR="$C/${INSTDIR_WIN#C:\\}"
INSTDIR=${INSTDIR//\\//}
MENU="$C/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillet"
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillet'
RUN_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
EVENT_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quillet'
LOG_DIR_WIN='C:\ProgramData\Quillet\Logs'
LOG_DIR=$C/ProgramData/Quillet/Logs
INSTALLED_FILES=(quillet.exe ferrule.dll README.txt LICENSE.txt sdk/ferrule.h uninstall.exe)

# reg_value KEY NAME: the value's data, or status 1 when it is missing.
reg_value() {
    local out
    out=$("$WINE" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r') || return 1
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p" <<<"$out" | head -n 1
}

setup() {
    local status=0
    timeout 120 "$WINE" "$SETUP" "$@" >>"$RUN/setup.out" 2>&1 || status=$?
    [ $status = 0 ] || fail_now "setup $* ended with status $status"
}

# 1. Silent install without the start at logon.
setup /S /NOAUTOSTART
for f in "${INSTALLED_FILES[@]}"; do
    [ -f "$INSTDIR/$f" ] || fail_now "$f not installed"
done
cmp -s "$INSTDIR/quillet.exe" <(python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' \
    "$DIST/quillet-$VERSION-$ARCH.zip" "quillet-$VERSION-$ARCH/quillet.exe") ||
    fail_now "the installed quillet.exe is not the zip's"
for f in Quillet.lnk "Uninstall Quillet.lnk"; do
    [ -f "$MENU/$f" ] || fail_now "no Start-menu shortcut $f"
done
[ "$(reg_value "$UNINSTALL_KEY" DisplayVersion)" = "$VERSION" ] ||
    fail_now "uninstall entry's version is [$(reg_value "$UNINSTALL_KEY" DisplayVersion || true)]"
[ "$(reg_value "$UNINSTALL_KEY" DisplayName)" = Quillet ] || fail_now "uninstall entry has no name"
reg_value "$UNINSTALL_KEY" Publisher >/dev/null || fail_now "uninstall entry has no publisher"
reg_value "$UNINSTALL_KEY" EstimatedSize >/dev/null || fail_now "uninstall entry has no size"
firewall=$(reg_value "$UNINSTALL_KEY" FirewallRule) || fail_now "the firewall step did not run"
reg_value "$RUN_KEY" Quillet >/dev/null && fail_now "a Run entry despite /NOAUTOSTART"
[ "$(reg_value "$EVENT_KEY" EventMessageFile)" = "$INSTDIR_WIN\quillet.exe" ] ||
    fail_now "event source's message file is [$(reg_value "$EVENT_KEY" EventMessageFile || true)]"
[ -d "$LOG_DIR" ] || fail_now "no folder for the kept log"
echo "installer-test: installed silently without the start at logon; firewall step's result: $firewall"

# 2. The installed program answers, though another program holds the name
# of its instance mutex (as another account may), so that setup must find
# it by its process.
probe squat 120 >"$RUN/squat.out" 2>&1 &
pids+=("$!")
wait_for "$RUN/squat.out" squatting 30 || fail_now "the mutex could not be squatted"
start_host --name "Installer Test Board" || fail_now "no host server"
: >"$LOG_DIR/quillet-2000-01-01.log"
QUILLET_SWITCHES+=(--log-dir="$LOG_DIR_WIN")
start_exe "$RUN/quillet.out" "$INSTDIR/quillet.exe"
wait_up "$QUILLET" 60 "$HOST"
grep -q -- "- The mutex of one Quillet per host is held by no Quillet: running without it" "$LOG" ||
    fail_now "no line for the mutex held by another program"
[ -e "$LOG_DIR/quillet-2000-01-01.log" ] && fail_now "the kept log's expired file was kept"
register 3 194 1234 alice
expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n' 20
echo "installer-test: the installed quillet.exe answered: 1234,194 : USERID : UNIX : alice"
wait_kept "$LOG_DIR" "- IdentHandler answered <127.0.0.1> about <1234,194>: node <3> name <alice> USERID <alice>" 10 ||
    fail_now "no kept line for the answer in the installer's folder"
echo "installer-test: the answer was kept in $LOG_DIR_WIN"
quillet_pid=$QUILLET

# 3. Installing over the running copy closes it first.
setup /S
ended_with $quillet_pid 10 0 "after setup was run over it"
run_entry=$(reg_value "$RUN_KEY" Quillet) || fail_now "no Run entry after the default install"
exe="\"${INSTDIR_WIN}\\quillet.exe\" --wait-for-host"
[ "$run_entry" = "$exe --irc-names --log-dir=\"$LOG_DIR_WIN\"" ] || fail_now "Run entry [$run_entry]"
echo "installer-test: installed over the running copy, which quit with status 0; Run entry: $run_entry"
for step in "/S /NOIRCNAMES|$exe --log-dir=\"$LOG_DIR_WIN\"" "/S /NOKEPTLOG|$exe" "/S|$exe"; do
    # shellcheck disable=SC2086
    setup ${step%%|*}
    run_entry=$(reg_value "$RUN_KEY" Quillet)
    [ "$run_entry" = "${step#*|}" ] || fail_now "Run entry after setup ${step%%|*}: [$run_entry]"
done
echo "installer-test: /NOIRCNAMES and /NOKEPTLOG took their switches out, and an upgrade kept them out: $run_entry"

# 4. Silent uninstall. The uninstaller copies itself away and runs from
# there, so its end is seen by the folder going.
"$WINE" "$INSTDIR/uninstall.exe" /S >"$RUN/uninstall.out" 2>&1 || fail_now "uninstall.exe /S failed"
for _ in $(seq 300); do
    [ -e "$INSTDIR" ] || break
    sleep 0.1
done
[ -e "$INSTDIR" ] && fail_now "left behind: $(find "$INSTDIR")"
[ -e "$MENU" ] && fail_now "Start-menu folder left behind"
reg_value "$UNINSTALL_KEY" DisplayName >/dev/null && fail_now "uninstall entry left behind"
reg_value "$RUN_KEY" Quillet >/dev/null && fail_now "Run entry left behind"
reg_value "$EVENT_KEY" EventMessageFile >/dev/null && fail_now "event source left behind"
kept_days "$LOG_DIR" | grep -q . || fail_now "the kept log went with the program"
echo "installer-test: uninstalled silently; no files, shortcuts or registry entries left; the kept logs stay"

# 5. The service from boot. It has no window: its log is the kept log.
SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\Quillet'
wait_log() { wait_kept "$LOG_DIR" "$1" "${2:-10}"; }
# ident_port_open SECONDS: until something listens on port 113, or not.
ident_port_open() {
    for _ in $(seq $(($1 * 10))); do
        ss -Hltn 'sport = :113' | grep -q . && return 0
        sleep 0.1
    done
    return 1
}
registered=$(grep -c 'registered service "quillet"' "$HOST")
setup /S /SERVICE
[ "$(reg_value "$SERVICE_KEY" Start)" = 0x2 ] || fail_now "service start [$(reg_value "$SERVICE_KEY" Start || true)], expected automatic"
[ "$(reg_value "$SERVICE_KEY" ObjectName)" = 'NT AUTHORITY\LocalService' ] ||
    fail_now "service account [$(reg_value "$SERVICE_KEY" ObjectName || true)]"
reg_value "$RUN_KEY" Quillet >/dev/null && fail_now "a Run entry beside the service"
ident_port_open 30 || fail_now "the service does not serve port 113"
wait_for "$HOST" 'registered service "quillet"' 10
NOTIFIER=("$WINE" "$WIN_BUILD/palaver-notify.exe")
user_connection 3 alice
expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : alice\r\n' 20 127.0.0.2
echo "installer-test: the service answered: 40000,6667 : USERID : UNIX : alice"
start_exe "$RUN/viewer.out" "$INSTDIR/quillet.exe"
viewer=$QUILLET
for _ in $(seq 100); do
    probe log 2>/dev/null | grep -qF -- "- IdentHandler answered <127.0.0.2> about <40000,6667>" && break
    sleep 0.2
done
probe log | grep -qF -- "- IdentHandler answered <127.0.0.2> about <40000,6667>" ||
    fail_now "the window does not show the service's log: $(probe log | head -n 5)"
probe quit || fail_now "could not quit the service's window"
ended_with "$viewer" 10 0 "after its window was quit"
[ "$(grep -c 'registered service "quillet"' "$HOST")" = $((registered + 1)) ] ||
    fail_now "the service's window registered with the host server"
echo "installer-test: quillet.exe beside the service showed its log, served nothing and quit"
timeout 60 "$WINE" wineboot --end-session --force >"$RUN/end-session.out" 2>&1 || true
expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : alice\r\n' 20 127.0.0.2
echo "installer-test: the service still answered after the session ended"
timeout 60 "$WINE" sc stop Quillet >"$RUN/sc.out" 2>&1 || fail_now "sc stop failed: $(cat "$RUN/sc.out")"
stopped=$(now_ms)
for _ in $(seq 50); do
    ss -Hltn 'sport = :113' | grep -q . || break
    sleep 0.1
done
ss -Hltn 'sport = :113' | grep -q . && fail_now "port 113 still open 5 s after the service was stopped"
echo "installer-test: stopped, port 113 closed after $(($(now_ms) - stopped)) ms"
start_exe "$RUN/desktop.out" "$INSTDIR/quillet.exe"
desktop=$QUILLET
ident_port_open 60 || fail_now "the desktop copy does not serve"
timeout 60 "$WINE" sc start Quillet >>"$RUN/sc.out" 2>&1 || true
wait_log "- Another Quillet serves this host: the service stops, and serves nothing" 20 ||
    fail_now "the service beside a desktop copy did not say why it stops"
echo "installer-test: the service started beside a serving desktop copy stopped and said why"
"$WINE" "$INSTDIR/uninstall.exe" /S >"$RUN/uninstall.out" 2>&1 || fail_now "uninstall.exe /S failed"
ended_with "$desktop" 10 0 "when the uninstaller closed it"
for _ in $(seq 300); do
    [ -e "$INSTDIR" ] || break
    sleep 0.1
done
reg_value "$SERVICE_KEY" ImagePath >/dev/null && fail_now "the service is left behind"
echo "installer-test: the uninstaller removed the service"
finish "$NAME"
