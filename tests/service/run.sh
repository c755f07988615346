#!/usr/bin/env bash
# The service program run directly (and the window, offscreen, beside it), as an unprivileged user when started as root: stores and
# stamps, one standard-error line per association, SIGHUP to a new port and name, SIGTERM
# under load from 4 senders, a port already taken. On loopback, in a private TMPDIR; every
# wait is bounded by a condition.
#   tests/service/run.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/lib/loopback.sh"
source "$here/../../scripts/lib/checks.sh"
daemon="$build/bin/institution-stampd"
work="$(mktemp -d /tmp/stamp-service.XXXXXX)"
export TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen
mkdir -p "$TMPDIR" "$work/cfg" "$work/in" "$work/log"
spid="" opid="" dpid=""
senders=()

cleanup() {
  for p in "${senders[@]}" $spid $opid $dpid; do { kill -9 "$p"; wait "$p"; } 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${KEEP:-}" ] && trap - EXIT

# As root, the service runs as nobody: it owns only what it must write.
asUser=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$work"
  chown nobody "$work/in" "$work/log" "$TMPDIR"
  asUser=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi

settings() {  # port folder name
  printf '[InstitutionName]\r\nPort=%s\r\nFolder=%s\r\nInstitutionName=%s\r\n' "$1" "$2" "$3" |
    iconv -f UTF-8 -t WINDOWS-1252 >"$work/cfg/Settings.ini"
}
start() {  # output file
  NOTIFY_SOCKET="$work/notify" "${asUser[@]}" "$daemon" --config "$work/cfg" --log-dir "$work/log" 2>"$1" &
  spid=$!
}
# Stands in for systemd: prints what the service tells it until it is ready, then whether
# port $1 listens by then.
notified() {
  python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777); s.settimeout(30)
print("bound", flush=True)
while True:
    m = s.recv(4096).decode()
    print(m, flush=True)
    if "READY=1" in m: break
socket.create_connection(("127.0.0.1", int(sys.argv[2])), 5).close()
print("port open when ready", flush=True)' "$work/notify" "$1" >"$work/notified" 2>&1 &
  opid=$!
  for _ in $(seq 100); do grep -q bound "$work/notified" && return; sleep 0.1; done
}
exited() { ! kill -0 "$1" 2>/dev/null; }
# $2 CT images of 64 x 64 pixels under $1/, SOP Instance UIDs $3.1, $3.2, ...
images() { mkdir -p "$1" && "$build/tools/make_images" "$1" "$2" 64 64 1 "$3" >/dev/null; }
stamped() { dcmdump -q +U8 +P 0008,0080 "$1" 2>/dev/null | grep -qE "\[($2)\]"; }
# Every image a storescu log ($1) reports as stored is in the folder, whole and stamped with
# a name matching $2.
answeredAreStored() {
  local file uid n=0
  while read -r file; do
    uid="$(basename "$file" .dcm)"
    stamped "$work/in/$uid.dcm" "$2" || { echo "  missing or not stamped: $uid"; return 1; }
    n=$((n + 1))
  done < <(awk '/Sending file:/ {f=$NF} /Received Store Response \(Success\)/ {print f}' "$1")
  echo "  ($n answered as stored)"
  [ "$n" -gt 0 ]
}

port=$(freePort)
name="Klinikum Süd"
settings "$port" "$work/in" "$name"
notified "$port"
start "$work/err1"
check "listens on the port from Settings.ini" waitForEcho "$port"
wait "$opid"
opid=""
check "tells systemd it is ready once the port listens" grep -qx "port open when ready" "$work/notified"

images "$work/a" 3 1.2.826.0.1.3680043.2.1125.7.1
storescu -v -aet MODALITY1 -aec STAMPER "127.0.0.1" "$port" "$work"/a/*.dcm >"$work/a.log" 2>&1
check "images from storescu are stored and stamped" answeredAreStored "$work/a.log" "$name"
line() { grep -q "from 127.0.0.1, calling \"MODALITY1\", called \"STAMPER\": 3 stored, 0 refused, released" "$work/err1"; }
check "one line per association on standard error, with the counts" waitFor 10 line
# How an association ended: cut off by the peer, or by us for bytes DCMTK must not parse.
python3 "$here/../robustness/peer.py" "$port" truncated-data >/dev/null
python3 "$here/../robustness/peer.py" "$port" abort-mid-image >/dev/null
python3 "$here/../robustness/peer.py" "$port" deep-nesting >/dev/null
closed() { [ "$(grep -c 'calling "PEER", .*: 0 stored, 0 refused, aborted or closed by the peer$' "$work/err1")" -eq 2 ]; }
hostile() { grep -q 'calling "PEER", .*: 0 stored, 0 refused, ended by us: hostile bytes$' "$work/err1"; }
check "the line says when the peer cut the association off, or aborted it inside an image" waitFor 10 closed
check "the line says when we ended it for hostile bytes" waitFor 10 hostile
[ -n "${asUser[*]}" ] && check "files belong to the unprivileged user" \
  test "$(stat -c %U "$work/in/1.2.826.0.1.3680043.2.1125.7.1.1.dcm")" = nobody

# The window and the service on one port: whichever starts second cannot listen and says so.
"$build/tools/stamp_receiver" "$port" "$work/in" "$name" >"$work/window.out" 2>&1
rc=$?
check "the window second: it does not switch on" test "$rc" -ne 0
check "the window second: a line in its log" \
  grep -q "Port $port: .*- btnActivate_Click" "$build/tools/Logs/ErrorLog.log"
check "the service goes on serving" echoscu -to 5 127.0.0.1 "$port"
windowPort=$(freePort)
"$build/tools/stamp_receiver" "$windowPort" "$work/in" "$name" >"$work/window.out" 2>&1 &
opid=$!
waitForEcho "$windowPort"
mkdir "$work/cfg2"
sed "s/^Port=$port/Port=$windowPort/" "$work/cfg/Settings.ini" >"$work/cfg2/Settings.ini"
"${asUser[@]}" "$daemon" --config "$work/cfg2" --log-dir "$work/log" 2>"$work/err2" &
dpid=$!
waitFor 20 exited "$dpid"
wait "$dpid"
rc=$?
kill "$opid"; wait "$opid" 2>/dev/null; opid="" dpid=""
check "the service second: exit non-zero" test "$rc" -ne 0
check "the service second: a line in its log" grep -q "Port $windowPort: .* - Service_Start" "$work/log/ErrorLog.log"
check "the service second: the same line on standard error" grep -q " - Service_Start" "$work/err2"

# SIGHUP while a sender is on the old port: the new port and name take over; every image
# answered as stored on the old port is in the folder.
images "$work/b" 200 1.2.826.0.1.3680043.2.1125.7.2
storescu -v -aet MODALITY2 "127.0.0.1" "$port" "$work"/b/*.dcm >"$work/b.log" 2>&1 &
senders=($!)
someStored() { [ -n "$(ls "$work/in" | grep -F 1.2.826.0.1.3680043.2.1125.7.2. | head -1)" ]; }
waitFor 30 someStored
newPort=$(freePort)
newName="Klinikum Nord"
settings "$newPort" "$work/in" "$newName"
kill -HUP "$spid"
check "after SIGHUP, the new port answers" waitForEcho "$newPort"
wait "${senders[0]}"
senders=()
# Images answered after the switch carry the new name.
check "after SIGHUP, every image answered on the old port is stored" answeredAreStored "$work/b.log" "$name|$newName"
oldClosed() { ! echoscu -to 2 127.0.0.1 "$port" >/dev/null 2>&1; }
check "after SIGHUP, the old port is closed" waitFor 10 oldClosed
images "$work/c" 2 1.2.826.0.1.3680043.2.1125.7.3
storescu -v "127.0.0.1" "$newPort" "$work"/c/*.dcm >"$work/c.log" 2>&1
check "after SIGHUP, images carry the new name" answeredAreStored "$work/c.log" "$newName"

# SIGHUP to a port that cannot be opened: the old one goes on, the log says why.
takenPort=$(freePort)
settings "$takenPort" "$work/in" "Klinikum West"
python3 -c 'import socket,sys,time
s=socket.socket(); s.bind(("0.0.0.0",int(sys.argv[1]))); s.listen(); print("ready",flush=True); time.sleep(60)' "$takenPort" >"$work/blocker" &
opid=$!
blocking() { grep -q ready "$work/blocker"; }
waitFor 10 blocking
kill -HUP "$spid"
reloadLogged() { grep -q " - Service_Reload" "$work/log/ErrorLog.log"; }
check "SIGHUP to a port in use: logged" waitFor 10 reloadLogged
check "SIGHUP to a port in use: still serving on the old port" echoscu -to 5 127.0.0.1 "$newPort"
kill "$opid"; wait "$opid" 2>/dev/null; opid="" dpid=""

# SIGTERM under load from 4 senders: exit 0 within a bound; every answered image is whole.
for s in 1 2 3 4; do images "$work/d$s" 300 1.2.826.0.1.3680043.2.1125.7.4$s; done
for s in 1 2 3 4; do
  storescu -v -aet "LOAD$s" "127.0.0.1" "$newPort" "$work/d$s"/*.dcm >"$work/d$s.log" 2>&1 &
  senders+=($!)
done
# Every sender has had an image stored: all four are on.
loaded() { for s in 1 2 3 4; do ls "$work/in" | grep -qF ".7.4$s." || return 1; done; }
waitFor 60 loaded
kill -TERM "$spid"
if waitFor 30 exited "$spid"; then
  wait "$spid"
  rc=$?
  check "SIGTERM under load: exit 0" test "$rc" -eq 0
else
  fail "SIGTERM under load: ended within 30 s"
fi
spid=""
for p in "${senders[@]}"; do wait "$p"; done
senders=()
for s in 1 2 3 4; do
  check "SIGTERM under load: sender $s's answered images are whole" answeredAreStored "$work/d$s.log" "$newName"
done
check "no partial file left" test -z "$(find "$work/in" -name '*.part')"
check "each sender's association has its line" test "$(grep -c 'calling "LOAD[1-4]"' "$work/err1")" -eq 4

# A log that cannot be written: the failure still reaches standard error, reception goes on.
mkdir -p "$work/cfg3" "$work/rolog"
chmod 555 "$work/rolog"
lastPort=$(freePort)
printf '[InstitutionName]\r\nPort=%s\r\nFolder=%s/missing\r\nInstitutionName=x\r\n' "$lastPort" "$work" >"$work/cfg3/Settings.ini"
"${asUser[@]}" "$daemon" --config "$work/cfg3" --log-dir "$work/rolog" 2>"$work/err3" &
spid=$!
waitForEcho "$lastPort"
# storescu stops at its first refused image.
storescu "127.0.0.1" "$lastPort" "$work/c"/*.dcm >/dev/null 2>&1
check "log not writable: the failure is on standard error" grep -q "missing - DCMServer_ImageReceivedAsync" "$work/err3"
counted() { grep -q ": 0 stored, 1 refused, released" "$work/err3"; }
check "log not writable: the refusals are counted" waitFor 10 counted
check "log not writable: reception goes on" echoscu -to 5 127.0.0.1 "$lastPort"
kill -TERM "$spid"
wait "$spid"
check "log not writable: exit 0 on SIGTERM" test $? -eq 0
spid=""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
