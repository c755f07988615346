# Senders that die, folders that go, stopping and exiting under load. Sourced by run.sh: its
# helpers and state are at hand.

group_faults() {
  start_receiver
  mkdir -p "$work/small"
  images "$work/small" 3 512 512 1 2.25.8805 || fail "generate"

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
  images "$work/many" 300 512 512 1 2.25.8806 || fail "generate"
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
    images "$work/stop/$d" 250 512 512 1 "2.25.8807.$(printf '%d' "'$d")" || fail "generate"
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
