# Memory and the spool. Sourced by run.sh: its helpers and state are at hand.

# Memory does not grow with what peers send: peak RSS of a fresh receiver after each load.
group_memory() {
  start_receiver
  local limit=200 idle
  idle=$(threads)
  mkdir -p "$work/big"
  for i in 0 1 2 3; do
    mkdir -p "$work/big/$i"
    images "$work/big/$i" 1 512 512 512 "2.25.8808.$i" || fail "generate"  # 256 MiB each
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
  peerBg "$work/half.out" half-image 50 50 60
  local half=$!
  PEER_SOURCE=127.0.0.6 peerBg "$work/half2.out" half-image 50 50 60
  local half2=$!
  waitFor 120 grep -q holding "$work/half.out"
  waitFor 120 grep -q holding "$work/half2.out"
  check "100 associations half-way through 50 MB images were accepted" \
    bash -c "grep -q 'holding 50' '$work/half.out' && grep -q 'holding 50' '$work/half2.out'"
  check "RSS with 100 associations each half-way through a 50 MB image" atMost "RSS" "$(rssMiB)" "$limit"
  kill "$half" "$half2" 2>/dev/null
  check "their associations end once the peer is gone" waitFor 30 threadsAtMost "$idle"

  check "a deflated data set inflating to 550 MB is refused (0xA700)" \
    bash -c "peer deflate-bomb 550 | grep -q 'status 0xa700'"
  check "and the log says why" logged "deflated data set was refused"

  # What a parse holds counts, whatever the values' sizes and the element count.
  local cpu
  cpu=$(cpuSeconds)
  check "4 images at once of 64 MB in 64 KiB values are stored" \
    bash -c "peer small-values 4 64 | grep -c 'status 0x0000' | grep -qx 4"
  check "peak RSS with 4 images of 64 KiB values" atMost "peak RSS" "$(peakMiB)" "$limit"
  check "20 MB of empty elements are refused for good (0xC000)" \
    bash -c "peer many-elements ascending 2600000 | grep -q 'status 0xc000'"
  check "and hold no memory" atMost "peak RSS" "$(peakMiB)" "$limit"
  check "the log says how much memory it would have taken" logged "parsing it would take"
  check "two costly deflated data sets are refused, a deflated image sent meanwhile is stored" \
    bash -c "peer costly-deflated 2 60000 | tr '\n' ' ' | grep -q '^status 0xc000 status 0xc000 status 0x0000'"
  check "and the receiver spent little CPU on them" cpuSince "$cpu" 60
  rm -rf "$folder"/*
  local before
  before=$(sizeMiB)
  peerBg "$work/deflate.out" deflate-stall 3 200 20
  peerBg "$work/huge.out" huge-length 4 20
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
  # The same two images streamed into their files: the part files count against the same limit.
  rm -f "$work/go"
  peerBg "$work/fill.out" spool-fill 2 40 "$work/go" streamed
  fill=$!
  waitFor 60 grep -q holding "$work/fill.out"
  waitFor 30 onePartFileOfAtLeast 40000000
  touch "$work/go"
  wait "$fill"
  check "streamed: of the two held images one is stored, the other refused (0xA700)" \
    grep -q 'statuses 0x0000 0xa700' "$work/fill.out"
  check "streamed: the log says why" waitFor 10 grep -q 'Spool limit reached' "$bin/Logs/ErrorLog.log"
  check "streamed: no part file is left" waitFor 10 noPartFiles
  rm -f "$bin/Logs/ErrorLog.log"
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

onePartFileOfAtLeast() {
  [ "$(find "$folder" -name '*.part' | wc -l)" = 1 ] &&
    [ "$(find "$folder" -name '*.part' -printf '%s\n' | awk '{s += $1} END {print s + 0}')" -ge "$1" ]
}

# Two images of 41 MB held part-way (40 MB each) where the spool has room for one: one of them
# is refused, the other and a normal sender not; what the spool holds stays within its room.
spoolHasRoomForOne() {
  local where="$1" room="$2" fill
  mkdir -p "$work/two"
  rm -f "$work/go"
  images "$work/two" 1 1024 1024 1 2.25.8809 || fail "generate"  # 2 MB
  peerBg "$work/fill.out" spool-fill 2 40 "$work/go"
  fill=$!
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
