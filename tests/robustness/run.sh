#!/usr/bin/env bash
# Robustness of the receiver under load, floods, hostile peers and faults, on loopback.
#   tests/robustness/run.sh BUILD_DIR [GROUP...]   groups: hostile load floods faults stop memory
# Runs the real window offscreen (tools/stamp_receiver) against DCMTK's storescu/echoscu and
# our own peer (peer.py; started straight from here when in the background, so that its PID
# is the one to end). Prints "N passed, N failed" last; exits non-zero on any failure.
set -uo pipefail
build="$(cd "$1" && pwd)"
shift
groups=("$@")
((${#groups[@]})) || groups=(hostile load floods faults stop memory)
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/lib/loopback.sh"
source "$here/../../scripts/lib/checks.sh"
bin="$build/tools"
work="$(mktemp -d /var/tmp/stamp-robust.XXXXXX)"
folder="$work/in"
name="Klinikum Nord"
rpid="" port=0
bg=()
# The receiver's own TMPDIR: its spool folder is seen by no other receiver.
spool="$work/tmp/institution-stamp-$(id -u)"

cleanup() {
  for p in "${bg[@]}" $rpid; do { kill -9 "$p"; wait "$p"; } 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT


# start_receiver [VAR=VALUE...]: with these in its environment.
start_receiver() {
  mkdir -p "$folder" "$work/tmp"
  port=$(freePort)
  env TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen "$@" "$bin/stamp_receiver" "$port" "$folder" "$name" \
    >"$work/receiver.out" 2>&1 &
  rpid=$!
  waitForEcho "$port" && return 0
  fail "receiver started"
  exit 1
}

stop_receiver() {
  kill -TERM "$rpid" 2>/dev/null
  wait "$rpid" 2>/dev/null
  rpid=""
}

alive() { kill -0 "$rpid" 2>/dev/null && echoscu -to 5 127.0.0.1 "$port" >/dev/null 2>&1; }
threads() { awk '/^Threads/ {print $2}' "/proc/$rpid/status"; }
rssMiB() { awk '/^VmRSS/ {print int($2 / 1024)}' "/proc/$rpid/status"; }
peakMiB() { awk '/^VmHWM/ {print int($2 / 1024)}' "/proc/$rpid/status"; }
sizeMiB() { awk '/^VmSize/ {print int($2 / 1024)}' "/proc/$rpid/status"; }
atMost() { echo "  ($1: $2 MiB, limit $3 MiB)"; [ "$2" -le "$3" ]; }
vmPeakMiB() { awk '/^VmPeak/ {print int($2 / 1024)}' "/proc/$rpid/status"; }
# CPU seconds the receiver has used (user and system).
cpuSeconds() { awk -v t="$(getconf CLK_TCK)" '{print int(($14 + $15) / t)}' "/proc/$rpid/stat"; }
cpuSince() { local used=$(($(cpuSeconds) - $1)); echo "  (receiver CPU: $used s, limit $2 s)"; [ "$used" -le "$2" ]; }
logged() { grep -q "$1" "$bin/Logs/ErrorLog.log"; }
# peer ATTACK ARGS...: our peer against the receiver, also inside `bash -c`. peerBg OUT ATTACK
# ARGS... starts it in the background, as a process of its own (its PID in $! and bg, so that
# it is the one ended), its output to OUT.
peer() { ${PEER_EXEC:+exec} python3 "$here/peer.py" "$port" "$@"; }
peerBg() { local out=$1; shift; PEER_EXEC=1 peer "$@" >"$out" 2>&1 & bg+=($!); }
export here port
export -f peer
spoolBytes() { find "$spool" -type f -printf '%s\n' 2>/dev/null | awk '{s += $1} END {print s + 0}'; }
oneSpoolFileOfAtLeast() { [ "$(find "$spool" -type f | wc -l)" = 1 ] && [ "$(spoolBytes)" -ge "$1" ]; }
noPartFiles() { [ -z "$(find "$folder" -name '*.part' 2>/dev/null)" ]; }
threadsAtMost() { [ "$(threads)" -le "$1" ]; }
images() { "$bin/make_images" "$@"; }
# storescu of a folder: every image stored / at least one refused.
sendOk() { local out; out=$(storescu -R +sd 127.0.0.1 "$port" "$1" 2>&1) && ! grep -qE 'Refused|Failed|Error' <<<"$out"; }
# sendOk that, when it fails, shows what the sender saw and the receiver's side of it.
sendOkOrShow() {
  local out
  out=$(storescu -v -R +sd 127.0.0.1 "$port" "$1" 2>&1) && ! grep -qE 'Refused|Failed|Error' <<<"$out" && return 0
  echo "  sender's output:"; sed 's/^/    /' <<<"$out" | tail -20
  echo "  receiver: $(threads) threads, $(ls /proc/$rpid/fd 2>/dev/null | wc -l) open files; its output:"
  tail -5 "$work/receiver.out" | sed 's/^/    /'
  echo "  connections to the port:"; ss -tn "( sport = :$port )" | awk 'NR > 1 {print $1, $4}' | sort | uniq -c | sed 's/^/    /'
  return 1
}
sendRefused() { local out; out=$(storescu -v -R +sd 127.0.0.1 "$port" "$1" 2>&1); grep -q 'Refused' <<<"$out"; }

# Every stored file must parse and carry the stamp.
allStoredParse() {
  local f
  for f in "$folder"/*.dcm; do
    [ -e "$f" ] || continue
    dcmdump -q +P 0008,0080 "$f" 2>/dev/null | grep -q "\[$name\]" || { echo "  bad file: $f"; return 1; }
  done
}

for file in "$here"/groups/*.sh; do source "$file"; done

rm -rf "$bin/Logs"
for g in "${groups[@]}"; do
  echo "== $g"
  "group_$g"
done
echo "robustness: $passed passed, $failed failed"
[ "$failed" = 0 ]
