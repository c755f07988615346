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
bin="$build/tools"
work="$(mktemp -d /var/tmp/stamp-robust.XXXXXX)"
folder="$work/in"
name="Klinikum Nord"
passed=0 failed=0 rpid="" port=0
bg=()
# The receiver's own TMPDIR: its spool folder is seen by no other receiver.
spool="$work/tmp/institution-stamp-$(id -u)"

cleanup() {
  for p in "${bg[@]}" $rpid; do { kill -9 "$p"; wait "$p"; } 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

ok() { passed=$((passed + 1)); echo "PASS: $*"; }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { local what="$1"; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }

# start_receiver [VAR=VALUE...]: with these in its environment.
start_receiver() {
  mkdir -p "$folder" "$work/tmp"
  port=$(freePort)
  env TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen "$@" "$bin/stamp_receiver" "$port" "$folder" "$name" \
    >"$work/receiver.out" 2>&1 &
  rpid=$!
  waitForEcho "$port" && return 0
  bad "receiver started"
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
peer() { python3 "$here/peer.py" "$port" "$@"; }
spoolBytes() { find "$spool" -type f -printf '%s\n' 2>/dev/null | awk '{s += $1} END {print s + 0}'; }
oneSpoolFileOfAtLeast() { [ "$(find "$spool" -type f | wc -l)" = 1 ] && [ "$(spoolBytes)" -ge "$1" ]; }
noPartFiles() { [ -z "$(find "$folder" -name '*.part' 2>/dev/null)" ]; }
# Waits up to $1 seconds for a condition.
waitFor() {
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
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

# The value of TAG in FILE as stored (read without DCMTK's corrections), without its padding.
storedValue() { dcmdump -dc -q +L +P "$2" "$1" | tr -d '\0' | sed -n 's/^[^[]*\[\(.*\)\].*$/\1/p' | sed 's/ *$//'; }
# storedAs UID TAG=VALUE...: one image with these elements is stored under UID, stamped, and
# every VALUE is in the file as it was sent.
storedAs() {
  local uid=$1 a
  shift
  peer store-with "$uid" "$@" | grep -q 'status 0x0000' && [ -f "$folder/$uid.dcm" ] || return 1
  for a in "$@" "0008,0080=$name"; do
    [ "$(storedValue "$folder/$uid.dcm" "${a%%=*}")" = "${a#*=}" ] || { echo "  ${a%%=*} differs"; return 1; }
  done
}

# Every stored file must parse and carry the stamp.
allStoredParse() {
  local f
  for f in "$folder"/*.dcm; do
    [ -e "$f" ] || continue
    dcmdump -q +P 0008,0080 "$f" 2>/dev/null | grep -q "\[$name\]" || { echo "  bad file: $f"; return 1; }
  done
}

group_hostile() {
  start_receiver
  local idle
  idle=$(threads)
  touch "$work/marker"
  for attack in garbage huge-pdu truncated-rq truncated-data abort-mid-image many-contexts unknown-classes; do
    peer "$attack" >/dev/null 2>&1
    check "receiver serves on after $attack" alive
  done
  check "a data set nested 50 sequences deep is stored" \
    bash -c "python3 '$here/peer.py' $port deep-nesting 50 | grep -q 'status 0x0000'"
  for depth in 5000 100000; do
    check "a data set nested $depth sequences deep ends that association" \
      bash -c "python3 '$here/peer.py' $port deep-nesting $depth | grep -q 'association ended'"
    check "receiver serves on after nesting $depth deep" alive
  done
  check "a command nested 20000 sequences deep ends that association" \
    bash -c "python3 '$here/peer.py' $port deep-command 20000 | grep -qE 'association ended|PDU type 7'"
  check "receiver serves on after a deep command" alive
  for hidden in vr un-pixel-data; do
    check "nesting hidden behind a header ($hidden) ends that association" \
      bash -c "python3 '$here/peer.py' $port hidden-nesting $hidden | grep -q 'association ended'"
  done
  check "a data set sent where a command is due ends that association" \
    bash -c "python3 '$here/peer.py' $port data-set-for-command | grep -qE 'association ended|PDU type 7'"
  check "receiver serves on after hidden nesting" alive
  before=$(awk '/^VmPeak/ {print int($2 / 1024)}' "/proc/$rpid/status")
  check "a data set cut inside a value ends its association, whatever follows in the same PDU" \
    bash -c "python3 '$here/peer.py' $port cut-then-whole | grep -qE 'association ended|PDU type 7'"
  after=$(awk '/^VmPeak/ {print int($2 / 1024)}' "/proc/$rpid/status" 2>/dev/null)
  check "and reserves no address space for the value it claims" atMost "peak address space growth" \
    "$((${after:-999999} - before))" 1024
  before=$(vmPeakMiB)
  check "a value running past the defined end of its sequence ends its association" \
    bash -c "python3 '$here/peer.py' $port overrun | grep -qE 'association ended|PDU type 7'"
  after=$(vmPeakMiB)
  check "and reserves no address space for it" atMost "peak address space growth" "$((${after:-999999} - before))" 1024

  # Parse time in proportion to the bytes: a data set whose element order would make DCMTK's
  # sorted insert walk its list again and again is refused for good, unparsed.
  local cpu
  cpu=$(cpuSeconds)
  check "130,000 empty elements in order are stored" \
    bash -c "python3 '$here/peer.py' $port many-elements ascending 130000 | grep -q 'status 0x0000'"
  for how in "descending 130000" "repeated 60000 deflated"; do
    check "elements $how are refused (0xC000)" \
      bash -c "python3 '$here/peer.py' $port many-elements $how | grep -q 'status 0xc000'"
  done
  check "and the receiver spent little CPU on all three" cpuSince "$cpu" 20
  check "the refusal is logged" logged "in an order that would take too long to parse"
  check "receiver serves on after costly element orders" alive

  # Several PDVs in one PDU: every message answered and stored, the receiver unharmed.
  check "a C-STORE in four PDVs of one PDU is answered and stored" \
    bash -c "python3 '$here/peer.py' $port pdvs-in-one-pdu store-in-fragments 1.2.3.9.30 | grep -qx 'status 0x0000' && [ -f '$folder/1.2.3.9.30.dcm' ]"
  check "two C-STOREs in one PDU are both answered and stored" \
    bash -c "python3 '$here/peer.py' $port pdvs-in-one-pdu two-stores 1.2.3.9.31 | grep -qx 'status 0x0000 status 0x0000' && [ -f '$folder/1.2.3.9.31.1.dcm' ] && [ -f '$folder/1.2.3.9.31.2.dcm' ]"
  check "two C-ECHOs in one PDU are both answered" \
    bash -c "python3 '$here/peer.py' $port pdvs-in-one-pdu two-echoes - | grep -qx 'status 0x0000 status 0x0000'"
  check "receiver serves on after several PDVs per PDU" alive

  # Association requests up to the stated limit are read, whatever the socket's buffer holds.
  check "an association request of 250 KiB is answered" \
    bash -c "python3 '$here/peer.py' $port large-request 256000 | grep -q 'answered with PDU type 2'"
  check "one over 256 KiB is not" \
    bash -c "python3 '$here/peer.py' $port large-request 270000 | grep -q 'association ended'"

  # Negotiation: per context the best syntax offered, lossy and deflate only when nothing
  # else is; every context answered; requests no careful receiver answers are refused whole.
  local offer want
  while read -r offer want; do
    check "offer $offer is accepted as $want" \
      bash -c "python3 '$here/peer.py' $port offer $offer | grep -qx '$want'"
  done <<'TABLE'
explicit,jpeg-lossless,jpeg-baseline explicit
implicit,explicit,deflated,big explicit
jpeg-baseline,implicit implicit
jpeg-baseline,jpeg-lossless jpeg-lossless
jpeg-baseline,jpeg-ls-lossy,j2k jpeg-ls-lossy
deflated,jpeg-baseline jpeg-baseline
rle,big big
jpeg-baseline jpeg-baseline
made-up rejected
jpeg-baseline,made-up jpeg-baseline
TABLE
  check "a context with 60 transfer syntaxes is refused alone, the others answered and used" \
    bash -c "python3 '$here/peer.py' $port contexts too-many-syntaxes | tr '\n' ' ' | grep -q '^1:refused 3:accepted 5:accepted status 0x0000'"
  for ids in repeated-id even-id zero-id pdu-13; do
    check "a request with $ids is rejected" \
      bash -c "python3 '$here/peer.py' $port contexts $ids | grep -q 'rejected (PDU type 3)'"
  done
  check "a peer PDU limit of 14 still gets its answer" \
    bash -c "python3 '$here/peer.py' $port contexts pdu-14 | grep -q 'status 0x0000'"

  # A C-STORE must fit its context.
  for mismatch in made-up-class verification-context no-class; do
    check "a C-STORE with $mismatch is answered 0x0122" \
      bash -c "python3 '$here/peer.py' $port mismatch $mismatch | grep -q 'status 0x0122'"
  done
  check "a data set on another context than its command ends that association" \
    bash -c "python3 '$here/peer.py' $port mismatch data-on-other-context | grep -q 'association ended'"

  # What the stored file says: the sender's meta elements are gone, an AE title that is
  # none is left out.
  check "meta elements inside a data set are stored away" \
    bash -c "python3 '$here/peer.py' $port meta-in-data-set 1.2.3.9.20 | grep -q 'status 0x0000'"
  check "and the stored file reads with its own meta header" \
    bash -c "dcmdump -q +P 0008,0018 +P 0008,0080 +P 0002,0013 '$folder/1.2.3.9.20.dcm' | tr '\n' ' ' | grep -v EVIL | grep -q '1.2.3.9.20.*$name'"
  check "a calling AE title with a backslash and 8-bit bytes is no Source AE Title" \
    bash -c "python3 '$here/peer.py' $port store-from 'A\\\\B\\xe9' 1.2.3.9.21 | grep -q 'status 0x0000' && ! dcmdump -q +P 0002,0016 '$folder/1.2.3.9.21.dcm' | grep -q ."
  check "a plain calling AE title is the Source AE Title" \
    bash -c "python3 '$here/peer.py' $port store-from MODALITY7 1.2.3.9.22 | grep -q 'status 0x0000' && dcmdump -q +P 0002,0016 '$folder/1.2.3.9.22.dcm' | grep -q MODALITY7"
  check "a data set UID that differs from the command's is answered 0xA900" \
    bash -c "python3 '$here/peer.py' $port uid-mismatch | grep -q 'status 0xa900'"
  # Refused as a name (0xC000, never storable), as a data set that disagrees with its command (a backslash
  # or NUL splits the value: 0xA900), or by ending the association (a UID too long for the
  # command): never stored.
  local refused='status 0x(c000|a900)|association ended'
  for uid in '../escaped' '1.2/../../escaped' '..\\\\escaped' '1.2\\x003' '1.2\\x1b3' "1.\$(printf '1%.0s' \$(seq 10000))"; do
    check "a SOP Instance UID '${uid:0:20}' is refused" \
      bash -c "python3 '$here/peer.py' $port store \"$uid\" | grep -qE '$refused'"
  done
  # The name is the UID as sent: one with a blank (DCMTK would make "1.2 3" into 1.23, another
  # image's UID) or one that makes a hidden file is refused for good, stored under no name.
  for uid in '1.2 3' ' 1.2.3' '.hidden' '.' '.1.2'; do
    check "a SOP Instance UID '$uid' is refused for good" \
      bash -c "python3 '$here/peer.py' $port store '$uid' | grep -q 'status 0xc000'"
  done
  check "and nothing is stored for them" \
    bash -c "[ -z \"\$(find '$folder' -mindepth 1 \( -name '.*' -o -name '1.23.dcm' -o -name '* *' \))\" ]"
  check "a Study UID with a blank is stored as it was sent" storedAs 1.2.3.9.50 '0020,000D=1.2.3.4 5'
  # (0008,0005) values DCMTK cannot read take an ASCII stamp as it is.
  local cs n=51
  for cs in 'ISO 2022 IR 149' 'ISO_IR 100\ISO_IR 126' "ISO_IR 100$(printf '\\ISO_IR 100%.0s' $(seq 999))"; do
    check "an ASCII stamp in an image of (0008,0005) '${cs:0:24}' (${#cs} bytes) is stored" \
      storedAs "1.2.3.9.$n" "0008,0005=$cs"
    n=$((n + 1))
  done
  check "the association is answered under the name the stored files carry" \
    bash -c "[ \"\$(python3 '$here/peer.py' $port implementation)\" = \"class \$1 version \$2\" ]" _ \
    "$(storedValue "$folder/1.2.3.9.50.dcm" 0002,0012)" "$(storedValue "$folder/1.2.3.9.50.dcm" 0002,0013)"
  check "receiver serves on after hostile names" alive
  check "nothing was written outside the folder" \
    bash -c "[ -z \"\$(find '$work' -newer '$work/marker' -type f ! -path '$folder/*' ! -name receiver.out)\" ]"
  check "a well-formed image still goes through" bash -c "python3 '$here/peer.py' $port store 1.2.3.77 | grep -q 'status 0x0000'"
  check "association threads return to idle" waitFor 10 threadsAtMost "$idle"
  stop_receiver
  rm -rf "$folder"
}

group_load() {
  start_receiver
  local idle idleRss
  idle=$(threads)
  idleRss=$(rssMiB)
  local sizes=(64 128 256 512 512 256 128 512)
  for i in $(seq 0 7); do
    mkdir -p "$work/load/$i"
    images "$work/load/$i" 250 "${sizes[$i]}" "${sizes[$i]}" 1 "2.25.8801.$i" || bad "generate"
  done
  images "$work/load/0" 1 512 512 100 "2.25.8802" || bad "generate"  # about 50 MB
  local ps=() codes=0
  for i in $(seq 0 7); do
    TCP_NODELAY=$((i % 2)) storescu -R +sd 127.0.0.1 "$port" "$work/load/$i" >"$work/load/$i.log" 2>&1 &
    ps+=($!)
  done
  for p in "${ps[@]}"; do wait "$p" || codes=$((codes + 1)); done
  check "8 senders x 250 images and a 50 MB image: every sender succeeded" [ "$codes" = 0 ]
  check "no failure reported to any sender" bash -c "! grep -qE 'Refused|Failed|Error' '$work'/load/*.log"
  mkdir -p "$work/all"
  for i in $(seq 0 7); do ln -s "$work/load/$i"/*.dcm "$work/all/"; done
  check "every image stored exactly once, parsed, stamped, pixel data unchanged" \
    "$bin/verify_output" "$work/all" "$folder" "$name"
  check "threads return to their idle level" waitFor 10 threadsAtMost "$idle"
  check "memory returns to its idle level (within 16 MiB)" bash -c "[ $(rssMiB) -le $((idleRss + 16)) ]"
  stop_receiver
  rm -rf "$folder" "$work/load" "$work/all"
}

group_floods() {
  start_receiver
  local idle
  idle=$(threads)
  mkdir -p "$work/flood"
  images "$work/flood" 20 256 256 1 2.25.8803 || bad "generate"
  # Connections that never speak, from another host and from the sender's own; associations
  # that never send a command; associations that drip an image two bytes at a time.
  python3 "$here/peer.py" "$port" silent-flood 140 60 127.0.0.2 >"$work/flood2.out" 2>&1 &
  bg+=($!)
  python3 "$here/peer.py" "$port" silent-flood 140 60 127.0.0.1 >"$work/flood1.out" 2>&1 &
  bg+=($!)
  PEER_SOURCE=127.0.0.3 python3 "$here/peer.py" "$port" stall-after-rq 64 75 >"$work/stall.out" 2>&1 &
  bg+=($!)
  PEER_SOURCE=127.0.0.4 python3 "$here/peer.py" "$port" drip 20 150 >"$work/drip.out" 2>&1 &
  local drip=$!
  bg+=($drip)
  waitFor 20 grep -q accepted "$work/stall.out"
  waitFor 20 grep -q dripping "$work/drip.out"
  waitFor 20 grep -q flooding "$work/flood1.out"
  check "of 64 stalled associations from one host its share of 50 was accepted, the rest rejected" \
    grep -q 'accepted 50 .*rejected 14' "$work/stall.out"
  check "a normal sender gets its images through meanwhile" \
    sendOkOrShow "$work/flood"
  PEER_SOURCE=127.0.0.5 peer stall-after-rq 40 1 >"$work/cap.out" 2>&1
  check "past the association cap new associations are rejected" grep -qE 'rejected [1-9]' "$work/cap.out"
  wait "$drip"
  check "associations that drip their image are dropped" grep -q 'dropped 20 of 20' "$work/drip.out"
  check "the stalled associations time out and free their threads" waitFor 75 threadsAtMost "$idle"
  check "silent connections were dropped and opened again all along" \
    bash -c "grep -qE 'reopened [1-9]' '$work/flood1.out' && grep -qE 'reopened [1-9]' '$work/flood2.out'"
  check "receiver serves on after the flood" alive

  # Deaktivieren ends the listener's associations, also those in the middle of a message.
  python3 "$here/peer.py" "$port" stall-after-rq 30 60 >"$work/stall2.out" 2>&1 &
  bg+=($!)
  python3 "$here/peer.py" "$port" drip 10 60 >"$work/drip2.out" 2>&1 &
  bg+=($!)
  waitFor 20 grep -q accepted "$work/stall2.out"
  waitFor 20 grep -q dripping "$work/drip2.out"
  kill -USR1 "$rpid"
  check "Deaktivieren ends every association of the listener" waitFor 10 threadsAtMost "$idle"
  kill -USR1 "$rpid"
  waitFor 5 bash -c "tail -1 '$work/receiver.out' | grep -q Deaktivieren"
  stop_receiver
  rm -rf "$folder" "$work/flood"
}

group_faults() {
  start_receiver
  mkdir -p "$work/small"
  images "$work/small" 3 512 512 1 2.25.8805 || bad "generate"

  # A sender killed in the middle of an image: our peer dies once half of it is sent.
  local idle sp
  idle=$(threads)
  peer die-mid-image 50 >/dev/null 2>&1
  check "a sender killed mid-image ends its association" waitFor 10 threadsAtMost "$idle"
  check "a sender killed mid-image leaves no file and no temporary file" \
    bash -c "[ -z \"\$(ls -A '$folder')\" ]"

  # A write that fails part-way: a file-size limit stands in for a full disk.
  storescu -R +sd 127.0.0.1 "$port" "$work/small" >/dev/null 2>&1
  local target
  target="$folder/$(ls "$work/small" | head -1)"
  cp "$target" "$work/earlier.dcm"
  prlimit --pid "$rpid" --fsize=100000:unlimited
  check "a write that fails part-way is answered as a failure" \
    sendRefused "$work/small"
  check "the earlier file of the same name is intact" cmp -s "$target" "$work/earlier.dcm"
  check "no partial or temporary file is left" noPartFiles
  prlimit --pid "$rpid" --fsize=unlimited:unlimited
  check "writes work again once space is back" \
    sendOk "$work/small"

  # The folder deleted, then a file in its place, then restored.
  rm -rf "$folder"
  check "a deleted folder fails the images" sendRefused "$work/small"
  touch "$folder"
  check "a file in place of the folder fails the images" \
    sendRefused "$work/small"
  rm -f "$folder"
  mkdir -p "$folder"
  check "storing works again once the folder is back" \
    sendOk "$work/small"
  check "the failures were logged" grep -q "DCMServer_ImageReceivedAsync" "$bin/Logs/ErrorLog.log"

  # The receiver killed in the middle of writing: no partial .dcm afterwards.
  rm -rf "$folder"/*
  mkdir -p "$work/many"
  images "$work/many" 300 512 512 1 2.25.8806 || bad "generate"
  storescu -R +sd 127.0.0.1 "$port" "$work/many" >/dev/null 2>&1 &
  sp=$!
  waitFor 20 bash -c "[ \$(ls '$folder' | wc -l) -ge 20 ]"
  kill -9 "$rpid"
  wait "$rpid" 2>/dev/null
  wait "$sp" 2>/dev/null
  rpid=""
  check "after the receiver is killed mid-write every visible .dcm is whole and stamped" allStoredParse
  rm -rf "$folder" "$work/small" "$work/many"
}

group_stop() {
  start_receiver
  mkdir -p "$work/stop"
  for d in a b c d; do
    mkdir -p "$work/stop/$d"
    images "$work/stop/$d" 250 512 512 1 "2.25.8807.$(printf '%d' "'$d")" || bad "generate"
  done
  local ps=()
  for d in a b c d; do
    storescu -v -R --no-halt +sd 127.0.0.1 "$port" "$work/stop/$d" >"$work/stop/$d.log" 2>&1 &
    ps+=($!)
  done
  waitFor 20 bash -c "[ \$(ls '$folder' | wc -l) -ge 50 ]"
  # How long things take is the benchmark's business; here they must happen, not hang.
  local t0 t1
  t0=$(date +%s%N)
  kill -USR1 "$rpid"
  check "pressing Deaktivieren under load takes effect" \
    waitFor 10 bash -c "tail -1 '$work/receiver.out' | grep -q Aktivieren"
  t1=$(date +%s%N)
  echo "  (Deaktivieren took $(((t1 - t0) / 1000000)) ms)"
  for p in "${ps[@]}"; do wait "$p"; done
  local successes files
  successes=$(cat "$work"/stop/*.log | grep -c 'Received Store Response (Success)')
  files=$(ls "$folder" | grep -c '\.dcm$')
  check "every image answered as stored is in the folder, every other one was answered as a failure ($successes stored)" \
    [ "$successes" = "$files" ]
  check "no temporary file is left" noPartFiles
  kill -USR1 "$rpid"
  waitFor 5 bash -c "tail -1 '$work/receiver.out' | grep -q Deaktivieren"
  check "Aktivieren on the same port works at once" alive

  # Closing the window under load: the process ends, cleanly.
  ps=()
  for d in a b c d; do
    storescu -R --no-halt +sd 127.0.0.1 "$port" "$work/stop/$d" >/dev/null 2>&1 &
    ps+=($!)
  done
  touch "$work/closing"
  waitFor 20 bash -c "[ -n \"\$(find '$folder' -name '*.dcm' -newer '$work/closing' | head -1)\" ]"
  t0=$(date +%s%N)
  kill -TERM "$rpid"
  check "closing under load ends the program" waitFor 10 bash -c "! kill -0 $rpid 2>/dev/null"
  t1=$(date +%s%N)
  echo "  (closing took $(((t1 - t0) / 1000000)) ms)"
  wait "$rpid" 2>/dev/null
  local rc=$?
  rpid=""
  check "and cleanly (exit code 0)" [ "$rc" = 0 ]
  for p in "${ps[@]}"; do wait "$p"; done
  check "no temporary file is left after closing" noPartFiles
  rm -rf "$folder" "$work/stop"
}

# Memory does not grow with what peers send: peak RSS of a fresh receiver after each load.
group_memory() {
  start_receiver
  local limit=200 idle
  idle=$(threads)
  mkdir -p "$work/big"
  for i in 0 1 2 3; do
    mkdir -p "$work/big/$i"
    images "$work/big/$i" 1 512 512 512 "2.25.8808.$i" || bad "generate"  # 256 MiB each
  done
  local ps=() codes=0
  for i in 0 1 2 3; do
    storescu -R +sd 127.0.0.1 "$port" "$work/big/$i" >"$work/big/$i.log" 2>&1 &
    ps+=($!)
  done
  for p in "${ps[@]}"; do wait "$p" || codes=$((codes + 1)); done
  check "4 parallel images of 256 MiB: every sender succeeded" [ "$codes" = 0 ]
  mkdir -p "$work/all"
  ln -s "$work"/big/*/*.dcm "$work/all/"
  check "every 256 MiB image stored once, stamped, pixel data unchanged" "$bin/verify_output" "$work/all" "$folder" "$name"
  check "peak RSS with 4 parallel images of 256 MiB" atMost "peak RSS" "$(peakMiB)" "$limit"
  rm -rf "$work/big" "$work/all" "$folder"/*

  # From two hosts: one host gets half of the associations.
  python3 "$here/peer.py" "$port" half-image 50 50 60 >"$work/half.out" 2>&1 &
  local half=$!
  PEER_SOURCE=127.0.0.6 python3 "$here/peer.py" "$port" half-image 50 50 60 >"$work/half2.out" 2>&1 &
  local half2=$!
  bg+=($half $half2)
  waitFor 120 grep -q holding "$work/half.out"
  waitFor 120 grep -q holding "$work/half2.out"
  check "100 associations half-way through 50 MB images were accepted" \
    bash -c "grep -q 'holding 50' '$work/half.out' && grep -q 'holding 50' '$work/half2.out'"
  check "RSS with 100 associations each half-way through a 50 MB image" atMost "RSS" "$(rssMiB)" "$limit"
  kill "$half" "$half2" 2>/dev/null
  check "their associations end once the peer is gone" waitFor 30 threadsAtMost "$idle"

  check "a deflated data set inflating to 550 MB is refused (0xA700)" \
    bash -c "python3 '$here/peer.py' $port deflate-bomb 550 | grep -q 'status 0xa700'"
  check "and the log says why" logged "deflated data set was refused"

  # What a parse holds counts, whatever the values' sizes and the element count.
  local cpu
  cpu=$(cpuSeconds)
  check "4 images at once of 64 MB in 64 KiB values are stored" \
    bash -c "python3 '$here/peer.py' $port small-values 4 64 | grep -c 'status 0x0000' | grep -qx 4"
  check "peak RSS with 4 images of 64 KiB values" atMost "peak RSS" "$(peakMiB)" "$limit"
  check "20 MB of empty elements are refused for good (0xC000)" \
    bash -c "python3 '$here/peer.py' $port many-elements ascending 2600000 | grep -q 'status 0xc000'"
  check "and hold no memory" atMost "peak RSS" "$(peakMiB)" "$limit"
  check "the log says how much memory it would have taken" logged "parsing it would take"
  check "two costly deflated data sets are refused, a deflated image sent meanwhile is stored" \
    bash -c "python3 '$here/peer.py' $port costly-deflated 2 60000 | tr '\n' ' ' | grep -q '^status 0xc000 status 0xc000 status 0x0000'"
  check "and the receiver spent little CPU on them" cpuSince "$cpu" 60
  rm -rf "$folder"/*
  local before
  before=$(sizeMiB)
  python3 "$here/peer.py" "$port" deflate-stall 3 200 20 >"$work/deflate.out" 2>&1 &
  bg+=($!)
  python3 "$here/peer.py" "$port" huge-length 4 20 >"$work/huge.out" 2>&1 &
  bg+=($!)
  waitFor 60 grep -q holding "$work/deflate.out"
  waitFor 60 grep -q holding "$work/huge.out"
  check "deflated data sets stalled half-way and values declared 4 GiB hold no memory" \
    atMost "RSS" "$(rssMiB)" "$limit"
  check "nor address space (4 values of 4 GiB declared)" atMost "address space growth" "$(($(sizeMiB) - before))" 1024
  check "peak RSS after all of it" atMost "peak RSS" "$(peakMiB)" "$limit"
  check "receiver serves on" alive
  check "no spool file is left once the peers are gone" \
    waitFor 40 bash -c "[ -z \"\$(ls -A '$spool' 2>/dev/null)\" ]"
  stop_receiver

  # The spool's total, made small for the test (a limit of 64 MiB); the room it leaves on its
  # file system (1 GiB of a file system of 1100 MiB, so 76 MiB), where a mount namespace
  # can be had.
  start_receiver INSTITUTION_STAMP_SPOOL_LIMIT_MIB=64
  spoolHasRoomForOne "under the spool limit" 64
  stop_receiver
  if unshare -m true 2>/dev/null; then
    mkdir -p "$work/small"
    start_receiver TMPDIR="$work/small" unshare -m --propagation private \
      sh -c 'mount -t tmpfs -o size=1100m spool "$TMPDIR" && exec "$@"' sh
    spool="/proc/$rpid/root$work/small/institution-stamp-$(id -u)"
    spoolHasRoomForOne "on a file system that keeps 1 GiB free" 76
    stop_receiver
    spool="$work/tmp/institution-stamp-$(id -u)"
  else
    echo "SKIP: the spool's free-space margin (no mount namespace to be had)"
  fi
  rm -rf "$folder"
}

# Two images of 41 MB held part-way (40 MB each) where the spool has room for one: one of them
# is refused, the other and a normal sender not; what the spool holds stays within its room.
spoolHasRoomForOne() {
  local where="$1" room="$2" fill
  mkdir -p "$work/two"
  rm -f "$work/go"
  images "$work/two" 1 1024 1024 1 2.25.8809 || bad "generate"  # 2 MB
  python3 "$here/peer.py" "$port" spool-fill 2 40 "$work/go" >"$work/fill.out" 2>&1 &
  fill=$!
  bg+=($fill)
  waitFor 60 grep -q holding "$work/fill.out"
  waitFor 30 oneSpoolFileOfAtLeast 40000000
  check "$where: spool bytes held stay within the room" atMost "spool" "$(($(spoolBytes) >> 20))" "$room"
  check "$where: a normal sender's image goes through meanwhile" sendOk "$work/two"
  touch "$work/go"
  wait "$fill"
  check "$where: of the two held images one is stored, the other refused (0xA700)" \
    grep -q 'statuses 0x0000 0xa700' "$work/fill.out"
  check "$where: the log says why" waitFor 10 grep -q 'Spool limit reached' "$bin/Logs/ErrorLog.log"
  check "$where: no spool file is left" waitFor 10 bash -c "[ -z \"\$(ls -A '$spool' 2>/dev/null)\" ]"
  rm -rf "$work/two" "$folder"/*
  rm -f "$bin/Logs/ErrorLog.log"
}

rm -rf "$bin/Logs"
for g in "${groups[@]}"; do
  echo "== $g"
  "group_$g"
done
echo "robustness: $passed passed, $failed failed"
[ "$failed" = 0 ]
