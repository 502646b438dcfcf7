#!/usr/bin/env bash
# Reads a disk as a user who may not open it, through the real disk service: starts a
# private system bus, polkitd, udevd (when none runs) and udisksd, makes two users (one a
# polkit rule allows to open devices, one it does not) and a read-only loop device over a
# fixture; then the command line's scan and recover as the allowed user must match root's,
# the other user must get a refusal that says what to do, and the window (offscreen) must
# list and scan the device as each. Everything started or made is undone on every way out.
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

work=$(mktemp -d /tmp/brivo-disk-service.XXXXXX)
chmod 755 "$work"
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

# Two users; only the first may open devices.
allowed="brivo-da$$"
refused="brivo-dr$$"
for u in "$allowed" "$refused"; do
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
});
RULE

# A system bus of our own: the machine's (when it has one) is left alone.
sed -e "s#<listen>.*</listen>#<listen>unix:path=$work/system_bus_socket</listen>#" \
    -e '/<pidfile>/d' -e '/<user>/d' -e '/<servicedir>/d' -e '/standard_system_servicedirs/d' \
    -e '/<servicehelper>/d' -e '/<syslog/d' \
    -e 's#<includedir>system.d</includedir>#<includedir>/usr/share/dbus-1/system.d</includedir>#' \
    /usr/share/dbus-1/system.conf > "$work/system.conf"
dbus-daemon --config-file="$work/system.conf" --nofork --nopidfile &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus_socket"
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
wait_for 10 test -S "$work/system_bus_socket" || fail "the system bus did not start"

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
echo "PASSED: $loop scanned and recovered through the disk service as $allowed ($found entries); $refused refused clearly"
