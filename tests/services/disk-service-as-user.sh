#!/usr/bin/env bash
# Reads a disk as a user who may not open it, through the real disk service: starts a
# private system bus, polkitd, udevd (when none runs) and udisksd, makes three users (one a
# polkit rule allows to open devices, one it allows after its own password, one it does not)
# and a read-only loop device over a fixture; then the command line's scan and recover as
# the allowed user must match root's, and so must those of the user who types its password
# on the command's terminal (asked once; a wrong one refused clearly), the other user must
# get a refusal that says what to do, and the window (offscreen) must list and scan the
# device as each. Everything started or made is undone on every way out.
#   disk-service-as-user.sh CLI FIXTURE.img.gz [WINDOW-TEST]
# Exit 77 (skipped) without root or without the services' programs.
set -u
cli=${1:?CLI path}
fixture=${2:?fixture .img.gz}
window_test=${3:-}

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (starts system services, makes users and a loop device)"
find_exe() { for p in "$@"; do [ -x "$p" ] && { echo "$p"; return 0; }; done; return 1; }
polkitd=$(find_exe /usr/lib/polkit-1/polkitd /usr/libexec/polkitd /usr/lib/policykit-1/polkitd) || skip "polkitd missing (apt-get install polkitd)"
udisksd=$(find_exe /usr/libexec/udisks2/udisksd /usr/lib/udisks2/udisksd) || skip "udisksd missing (apt-get install udisks2)"
udevd=$(find_exe /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd) || skip "systemd-udevd missing (apt-get install udev)"
for t in dbus-daemon dbus-send udevadm losetup setpriv useradd userdel gzip; do
    command -v "$t" >/dev/null || skip "$t missing"
done
[ -d /etc/polkit-1/rules.d ] || mkdir -p /etc/polkit-1/rules.d
losetup --find >/dev/null 2>&1 || skip "no free loop device (a container without /dev/loop-control?)"

# polkit's password helper is set-user-ID, so it ignores DBUS_SYSTEM_BUS_ADDRESS and reports
# to the bus at its standard place: our bus must be there. In a mount namespace of our own
# that place is ours alone, whatever the machine runs; without one the terminal's password
# prompt is left untested.
if [ -z "${BRIVO_DISK_SERVICE_NS:-}" ] && unshare --mount --propagation private true 2>/dev/null; then
    BRIVO_DISK_SERVICE_NS=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
bus_socket=
if [ -n "${BRIVO_DISK_SERVICE_NS:-}" ] && mkdir -p /run/dbus && mount -t tmpfs -o mode=755 brivo-test-bus /run/dbus; then
    bus_socket=/run/dbus/system_bus_socket
fi
terminal_note=
if [ -z "$bus_socket" ]; then
    terminal_note="no mount namespace for the system bus's standard place"
elif ! command -v python3 >/dev/null || ! command -v chpasswd >/dev/null; then
    terminal_note="python3 or chpasswd missing"
elif ! command -v pkttyagent >/dev/null; then
    terminal_note="pkttyagent missing"
fi

work=$(mktemp -d /tmp/brivo-disk-service.XXXXXX)
chmod 755 "$work"
[ -n "$bus_socket" ] || bus_socket=$work/system_bus_socket
pids=()
loop=
rule=
users=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null
    done
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    [ -n "$rule" ] && rm -f "$rule"
    for u in "${users[@]}"; do userdel "$u" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() { echo "FAILED: $*" >&2; exit 1; }

# Three users: the first may open devices, the second after typing its own password, the
# third may not.
allowed="brivo-da$$"
asked="brivo-dp$$"
refused="brivo-dr$$"
password="Brivo-$$-pass"
for u in "$allowed" "$asked" "$refused"; do
    useradd --no-create-home --user-group --shell /usr/sbin/nologin "$u" || fail "useradd $u"
    users+=("$u")
    mkdir -p "$work/$u/run" "$work/$u/out"
    chown -R "$u:$u" "$work/$u"
    chmod 700 "$work/$u/run"
done
rule="/etc/polkit-1/rules.d/10-brivo-test-$$.rules"
cat > "$rule" <<RULE
polkit.addRule(function(action, subject) {
    // Opening devices, and (for the window's test of cards put in and taken out) setting up
    // loop devices of the user's own files.
    if ((action.id.indexOf("org.freedesktop.udisks2.open-device") == 0 ||
         action.id.indexOf("org.freedesktop.udisks2.loop-") == 0) && subject.user == "$allowed")
        return polkit.Result.YES;
    if (action.id.indexOf("org.freedesktop.udisks2.open-device") == 0 && subject.user == "$asked")
        return polkit.Result.AUTH_SELF;
});
RULE

# A system bus of our own (at the standard place only inside our mount namespace): the
# machine's, when it has one, is left alone.
sed -e "s#<listen>.*</listen>#<listen>unix:path=$bus_socket</listen>#" \
    -e '/<pidfile>/d' -e '/<user>/d' -e '/<servicedir>/d' -e '/standard_system_servicedirs/d' \
    -e '/<servicehelper>/d' -e '/<syslog/d' \
    -e 's#<includedir>system.d</includedir>#<includedir>/usr/share/dbus-1/system.d</includedir>#' \
    /usr/share/dbus-1/system.conf > "$work/system.conf"
dbus-daemon --config-file="$work/system.conf" --nofork --nopidfile &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$bus_socket"
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
    local end=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.2
    done
}
has_owner() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true"
}
wait_for 10 test -S "$bus_socket" || fail "the system bus did not start"

# polkitd drops to its own user itself.
"$polkitd" --no-debug > "$work/polkitd.log" 2>&1 &
pids+=($!)
# udisks learns of block devices from udev: start one unless the machine runs one.
if ! udevadm control --ping >/dev/null 2>&1; then
    "$udevd" > "$work/udevd.log" 2>&1 &
    pids+=($!)
    wait_for 10 udevadm control --ping || fail "systemd-udevd did not start"
    udevadm trigger --action=add --subsystem-match=block
    udevadm settle --timeout=30
fi
"$udisksd" > "$work/udisksd.log" 2>&1 &
pids+=($!)
wait_for 20 has_owner org.freedesktop.PolicyKit1 || fail "polkitd did not start: $(cat "$work/polkitd.log")"
wait_for 30 has_owner org.freedesktop.UDisks2 || fail "udisksd did not start: $(cat "$work/udisksd.log")"

gzip -dc "$fixture" > "$work/disk.img" || fail "cannot unpack $fixture"
chmod 644 "$work/disk.img"
loop=$(losetup --read-only --find --show "$work/disk.img") || fail "losetup"
udevadm settle --timeout=30
known_to_service() {
    dbus-send --system --print-reply --dest=org.freedesktop.UDisks2 \
        "/org/freedesktop/UDisks2/block_devices/${loop#/dev/}" org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.UDisks2.Block string:Size
}
wait_for 30 known_to_service || fail "udisksd did not see $loop"

as_user() {  # as_user USER COMMAND...: no supplementary groups, so no disk group either
    local u=$1; shift
    setpriv --reuid="$u" --regid="$u" --clear-groups \
        env HOME="$work/$u" XDG_RUNTIME_DIR="$work/$u/run" "$@"
}
as_user "$allowed" test -x "$cli" -a -r "$fixture" || skip "the build or the fixtures are not reachable for another user"
as_user "$allowed" test -r "$loop" && fail "$allowed can read $loop directly: the test proves nothing"

# The command line: the same scan and the same recovered bytes as root.
"$cli" scan "$loop" > "$work/root-scan.txt" 2>&1 || fail "root scan: $(cat "$work/root-scan.txt")"
as_user "$allowed" "$cli" scan "$loop" > "$work/user-scan.txt" 2>&1 || fail "user scan: $(cat "$work/user-scan.txt")"
diff -u "$work/root-scan.txt" "$work/user-scan.txt" || fail "the user's scan differs from root's"
found=$(sed -n 's/^Scan finished. Found entries: \([0-9]*\).*/\1/p' "$work/root-scan.txt")
[ -n "$found" ] && [ "$found" -gt 0 ] || fail "root's scan found nothing: $(cat "$work/root-scan.txt")"
mkdir -p "$work/root-out"
"$cli" recover --all --out "$work/root-out" "$loop" > /dev/null 2>&1 || fail "root recover"
as_user "$allowed" "$cli" recover --all --out "$work/$allowed/out" "$loop" > "$work/user-recover.txt" 2>&1 ||
    fail "user recover: $(cat "$work/user-recover.txt")"
sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum); }
[ -n "$(sums "$work/root-out")" ] || fail "root recovered nothing"
diff -u <(sums "$work/root-out") <(sums "$work/$allowed/out") || fail "the user's recovered files differ from root's"

# A password typed on the command's terminal: polkit's text agent, started by the command
# for itself, asks once; then the same scan and the same files as root's. A wrong password
# is refused with a message that says so.
if [ -z "$terminal_note" ]; then
    echo "$asked:$password" | chpasswd || fail "chpasswd"
    cat > "$work/on-terminal.py" <<'PY'
# on-terminal.py PASSWORD TRANSCRIPT STDOUT COMMAND...: runs COMMAND on a terminal of its
# own (standard output to the file STDOUT), types PASSWORD at each password prompt, keeps
# what the terminal showed in TRANSCRIPT and exits with the command's status.
import os, pty, select, sys, termios, time
password, transcript, stdout, command = sys.argv[1].encode(), sys.argv[2], sys.argv[3], sys.argv[4:]
pid, fd = pty.fork()
if pid == 0:
    out = os.open(stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.dup2(out, 1)
    os.execv(command[0], command)
shown, typed, end = b"", 0, time.monotonic() + 120
while time.monotonic() < end:
    if fd in select.select([fd], [], [], 0.5)[0]:
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        if not data:
            break
        shown += data
        if shown.count(b"Password:") > typed:
            typed += 1
            # As a person would: once the terminal stops echoing. The agent flushes what
            # was typed before that.
            quiet = time.monotonic() + 10
            while termios.tcgetattr(fd)[3] & termios.ECHO and time.monotonic() < quiet:
                time.sleep(0.05)
            os.write(fd, password + b"\n")
else:
    os.kill(pid, 9)
open(transcript, "wb").write(shown)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
PY
    on_terminal() {  # on_terminal PASSWORD NAME COMMAND...: as $asked; NAME.tty, NAME.out in $work/$asked
        local pw=$1 name=$2; shift 2
        as_user "$asked" python3 "$work/on-terminal.py" "$pw" "$work/$asked/$name.tty" "$work/$asked/$name.out" "$@"
    }
    asked_once() {
        [ "$(grep -o "Password:" "$work/$asked/$1.tty" | wc -l)" = 1 ] ||
            fail "$1: the password was not asked for exactly once: $(cat -v "$work/$asked/$1.tty")"
    }
    "$cli" scan "$loop" > "$work/root-scan.out" 2>/dev/null || fail "root scan"
    on_terminal "$password" scan "$cli" scan "$loop" || fail "scan on a terminal: $(cat -v "$work/$asked/scan.tty")"
    asked_once scan
    diff -u "$work/root-scan.out" "$work/$asked/scan.out" || fail "the scan after a typed password differs from root's"
    on_terminal "$password" recover "$cli" recover --all --out "$work/$asked/out" "$loop" ||
        fail "recover on a terminal: $(cat -v "$work/$asked/recover.tty")"
    asked_once recover
    diff -u <(sums "$work/root-out") <(sums "$work/$asked/out") ||
        fail "the files recovered after a typed password differ from root's"
    on_terminal "not-$password" wrong "$cli" scan "$loop" && fail "a wrong password was let in"
    asked_once wrong
    grep -q "the password typed was not accepted" "$work/$asked/wrong.tty" ||
        fail "unclear refusal of a wrong password: $(cat -v "$work/$asked/wrong.tty")"
fi

# Without the rule: a refusal that names what to do, never a bare "Permission denied".
as_user "$refused" "$cli" scan "$loop" < /dev/null > "$work/refused.txt" 2>&1 && fail "the refused user's scan succeeded"
grep -q "administrator's password" "$work/refused.txt" || fail "unclear refusal: $(cat "$work/refused.txt")"

# The window, offscreen: the list comes from the service, the scan reads through it.
if [ -n "$window_test" ]; then
    as_user "$allowed" env QT_QPA_PLATFORM=offscreen "QT_LOGGING_RULES=qt.qpa.*=false" BRIVO_DISK_SERVICE_DEVICE="$loop" \
        BRIVO_DISK_SERVICE_FOUND="$found" "$window_test" || fail "the window as $allowed"
    as_user "$refused" env QT_QPA_PLATFORM=offscreen "QT_LOGGING_RULES=qt.qpa.*=false" BRIVO_DISK_SERVICE_DEVICE="$loop" \
        BRIVO_DISK_SERVICE_REFUSED=1 "$window_test" || fail "the window as $refused"
fi
terminal="and as $asked after its password on the terminal"
[ -z "$terminal_note" ] || terminal="(the password prompt on a terminal not checked: $terminal_note)"
echo "PASSED: $loop scanned and recovered through the disk service as $allowed ($found entries) $terminal; $refused refused clearly"
