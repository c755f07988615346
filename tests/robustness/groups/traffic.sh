# Load and floods. Sourced by run.sh: its helpers and state are at hand.

group_load() {
  start_receiver
  local idle idleRss
  idle=$(threads)
  idleRss=$(rssMiB)
  local sizes=(64 128 256 512 512 256 128 512)
  for i in $(seq 0 7); do
    mkdir -p "$work/load/$i"
    images "$work/load/$i" 250 "${sizes[$i]}" "${sizes[$i]}" 1 "2.25.8801.$i" || fail "generate"
  done
  images "$work/load/0" 1 512 512 100 "2.25.8802" || fail "generate"  # about 50 MB
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
  # AddressSanitizer's allocator keeps freed blocks (its quarantine, its caches per thread):
  # under it, only what the release build would show beyond that counts.
  local slack=16
  [ -z "${ASAN_OPTIONS:-}" ] || slack=64
  echo "  RSS idle ${idleRss} MiB, after the load $(rssMiB) MiB"
  check "memory returns to its idle level (within $slack MiB)" bash -c "[ $(rssMiB) -le $((idleRss + slack)) ]"
  stop_receiver
  rm -rf "$folder" "$work/load" "$work/all"
}

group_floods() {
  start_receiver
  local idle
  idle=$(threads)
  mkdir -p "$work/flood"
  images "$work/flood" 20 256 256 1 2.25.8803 || fail "generate"
  # Connections that never speak, from another host and from the sender's own; associations
  # that never send a command; associations that drip an image two bytes at a time.
  peerBg "$work/flood2.out" silent-flood 140 60 127.0.0.2
  peerBg "$work/flood1.out" silent-flood 140 60 127.0.0.1
  PEER_SOURCE=127.0.0.3 peerBg "$work/stall.out" stall-after-rq 64 75
  PEER_SOURCE=127.0.0.4 peerBg "$work/drip.out" drip 20 150
  local drip=$!
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
  peerBg "$work/stall2.out" stall-after-rq 30 60
  peerBg "$work/drip2.out" drip 10 60
  waitFor 20 grep -q accepted "$work/stall2.out"
  waitFor 20 grep -q dripping "$work/drip2.out"
  kill -USR1 "$rpid"
  check "Deaktivieren ends every association of the listener" waitFor 10 threadsAtMost "$idle"
  kill -USR1 "$rpid"
  waitFor 5 bash -c "tail -1 '$work/receiver.out' | grep -q Deaktivieren"
  stop_receiver
  rm -rf "$folder" "$work/flood"
}
