#!/usr/bin/env bash
# Throughput and memory of the receiver, each beside a reference run on loopback:
#   on disk   ours against the durable ceiling of the same file system (durable_ceiling: write,
#             fsync, rename, folder fsync of files of the same size; 1 thread, and 4 for 4
#             associations), since ours flushes every image before it answers; and against
#             storescp's time on tmpfs plus the ceiling's, what a receiver as fast as storescp
#             would take if it stored as durably before each answer; and against the ceiling
#             paced by the network (each thread idle before each file for as long as one of
#             storescp's associations took per image on tmpfs), what the disk gives writers
#             that also wait for their images;
#   on tmpfs  ours against storescp tuned for the load (TCP_NODELAY=1, -pdu 131072), where
#             flushing is free, with the receivers' CPU time per image; with 4 associations
#             also against storescp --fork, which like ours serves them at once;
#   big       4 and 8 images of hundreds of MB at once: peak RSS of ours and of storescp in
#             its bit-preserving mode (+B, which streams to disk), time against the ceiling.
#   bench/run.sh [--quick] [--images N] [--rounds R] [--big-mb M]
# Receivers alternate round by round; medians count (for CPU, the median of each round's ratio). Every run's output is checked before it
# counts: count, stamp and pixel data, and for ours every other element of every file, byte
# for byte against what was sent (bench/same_elements.py, with pydicom).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/loopback.sh"

images=1000 rounds=3 bigMB=300 bigCounts=(4 8)
while (($#)); do
  case "$1" in
    --quick) images=200 rounds=1 bigMB=100 bigCounts=(4) ;;
    --images) images="$2"; shift ;;
    --rounds) rounds="$2"; shift ;;
    --big-mb) bigMB="$2"; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--images N] [--rounds R] [--big-mb M]" >&2; exit 2 ;;
  esac
  shift
done

"$root/scripts/setup.sh" dcmtk procps iproute2 >/dev/null
tools="$root/build/tools"
ceiling="$root/build/bench/durable_ceiling"
work="$(mktemp -d /var/tmp/stamp-bench.XXXXXX)"
shm="$(mktemp -d /dev/shm/stamp-bench.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work" "$shm"
}
trap cleanup EXIT
name="Radiologie Nord"
frames=$((bigMB * 1000000 / (512 * 512 * 2)))

echo "Generating $images images of 512x512x16 bit and ${bigCounts[-1]} images of $frames frames in $work ..."
mkdir -p "$work/src" "$work/big"
"$tools/make_images" "$work/src" "$images" 512 512 1 "2.25.7302.$$.1"
"$tools/make_images" "$work/big" "${bigCounts[-1]}" 512 512 "$frames" "2.25.7302.$$.2"
for d in a b c d; do mkdir -p "$work/split/$d"; done
i=0
for f in "$work"/src/*.dcm; do
  d=$(printf 'abcd' | cut -c$((i % 4 + 1)))
  ln -s "$f" "$work/split/$d/"
  i=$((i + 1))
done
imageBytes=$(($(du -b --apparent-size -L "$work/src" | cut -f1) / images))
bigBytes=$(stat -c %s "$(ls "$work"/big/*.dcm | head -1)")

# start_receiver KIND OUTDIR PORT: sets rpid
start_receiver() {
  local kind="$1" out="$2" port="$3"
  case "$kind" in
    ours) QT_QPA_PLATFORM=offscreen "$tools/stamp_receiver" "$port" "$out" "$name" >/dev/null 2>&1 & ;;
    storescp) TCP_NODELAY=1 storescp +xa -pdu 131072 -od "$out" -fe .dcm "$port" & ;;
    storescp-B) TCP_NODELAY=1 storescp +xa +B -pdu 131072 -od "$out" -fe .dcm "$port" & ;;
    storescp-fork) TCP_NODELAY=1 storescp --fork +xa -pdu 131072 -od "$out" -fe .dcm "$port" & ;;
  esac
  rpid=$!
  pids+=("$rpid")
  waitForEcho "$port" && return 0
  echo "receiver $kind did not start" >&2
  exit 1
}
stop_receiver() {
  kill -TERM "$rpid" 2>/dev/null || true
  wait "$rpid" 2>/dev/null || true
}
peakKiB() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
rssKiB() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
# Its own and its reaped children's (storescp --fork serves each association in a child).
cpuSeconds() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15 + $16 + $17) / hz}' "/proc/$1/stat"; }
now() { date +%s.%N; }

# send ASSOCS PORT: the CT images through 1 or 4 parallel storescu, TCP_NODELAY=1
send() {
  if [ "$1" = 1 ]; then
    TCP_NODELAY=1 storescu -R +sd 127.0.0.1 "$2" "$work/src" >/dev/null
  else
    local ps=()
    for d in a b c d; do
      TCP_NODELAY=1 storescu -R +sd 127.0.0.1 "$2" "$work/split/$d" >/dev/null &
      ps+=($!)
    done
    for p in "${ps[@]}"; do wait "$p"; done
  fi
}

# run KIND PLACE ASSOCS [PACE]: one receiver run; appends "kind place assocs seconds cpu peak
# round" to results. The ceiling paced waits PACE microseconds before each file.
results="$work/results.tsv"
: >"$results"
run() {
  local kind="$1" place="$2" assocs="$3" out port start end cpu peak expect="$name"
  out=$([ "$place" = tmpfs ] && echo "$shm/out" || echo "$work/out")
  rm -rf "$out"; mkdir -p "$out"
  if [ "$kind" = ceiling ] || [ "$kind" = paced ]; then
    local seconds
    seconds=$("$ceiling" "$out" "$imageBytes" "$images" "$assocs" ${4:+"$4"})
    printf '%s\t%s\t%s\t%s\t0\t0\t%s\n' "$kind" "$place" "$assocs" "$seconds" "$round" >>"$results"
    rm -rf "$out"
    return
  fi
  port=$(freePort)
  start_receiver "$kind" "$out" "$port"
  # CPU from here on: what the images cost, not the receiver's start-up.
  cpu=$(cpuSeconds "$rpid")
  start=$(now)
  send "$assocs" "$port"
  end=$(now)
  # storescp --fork reaps its finished children as it takes the next association: until none
  # is left (bounded), so that their CPU counts.
  if [ "$kind" = storescp-fork ]; then
    for _ in $(seq 50); do
      echoscu 127.0.0.1 "$port" >/dev/null 2>&1 || true
      pgrep -P "$rpid" >/dev/null || break
      sleep 0.1
    done
  fi
  cpu=$(awk -v a="$cpu" -v b="$(cpuSeconds "$rpid")" 'BEGIN {print b - a}')
  peak=$(peakKiB "$rpid")
  stop_receiver
  [ "$kind" = ours ] || expect=""
  if [ "$round" != 0 ] && { ! "$tools/verify_output" "$work/src" "$out" ${expect:+"$expect"} >/dev/null ||
     { [ -n "$expect" ] && ! "$root/bench/same_elements.py" "$work/src" "$out" "$expect" >/dev/null; }; }; then
    echo "$kind on $place, $assocs associations: output check failed" >&2
    exit 1
  fi
  rm -rf "$out"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$place" "$assocs" "$(awk -v s="$start" -v e="$end" 'BEGIN {print e - s}')" \
    "$cpu" "$peak" "$round" >>"$results"
}

# A warm-up that does not count: in two benchmark runs, the first receiver run after the
# images were written took four times the CPU per image of later runs of the same receiver.
sync
round=0
for kind in ours storescp; do run "$kind" tmpfs 1; done
for round in $(seq "$rounds"); do
  # Which receiver goes first alternates too: a run inherits the memory state its predecessor
  # (and that one's output check) left.
  order="ours storescp"; ((round % 2)) || order="storescp ours"
  for assocs in 1 4; do
    for kind in $order; do run "$kind" tmpfs "$assocs"; done
    # storescp serving its associations at once too, each in a process of its own.
    [ "$assocs" = 1 ] || run storescp-fork tmpfs "$assocs"
    # The ceiling paced by the network: before each file, each thread waits as long as an
    # association took per image on tmpfs this round, with storescp serving one association
    # alone, or four at once (--fork).
    reference=$([ "$assocs" = 1 ] && echo storescp || echo storescp-fork)
    pace=$(awk -F'\t' -v r="$round" -v n="$images" -v k="$reference" -v a="$assocs" \
      '$1 == k && $2 == "tmpfs" && $3 == a && $7 == r { printf "%d", a * $4 / n * 1e6 }' "$results")
    for kind in ours ceiling; do run "$kind" disk "$assocs"; done
    run paced disk "$assocs" "$pace"
  done
  echo "round $round done"
done

# Big images at once: peak RSS and time, ours and storescp +B, and the ceiling for that size.
big="$work/big-results.tsv"
: >"$big"
for n in "${bigCounts[@]}"; do
  mkdir -p "$work/big$n"
  ln -sf $(ls "$work"/big/*.dcm | head -"$n") "$work/big$n/"
  for kind in ours storescp-B; do
    out="$work/out"; rm -rf "$out"; mkdir -p "$out"
    port=$(freePort)
    start_receiver "$kind" "$out" "$port"
    start=$(now)
    ps=()
    for f in "$work/big$n"/*.dcm; do
      TCP_NODELAY=1 storescu -R 127.0.0.1 "$port" "$f" >/dev/null &
      ps+=($!)
    done
    for p in "${ps[@]}"; do wait "$p"; done
    end=$(now)
    peak=$(peakKiB "$rpid")
    stop_receiver
    expect="$name"; [ "$kind" = ours ] || expect=""
    "$tools/verify_output" "$work/big$n" "$out" ${expect:+"$expect"} >/dev/null &&
      { [ -z "$expect" ] || "$root/bench/same_elements.py" "$work/big$n" "$out" "$expect" >/dev/null; } ||
      { echo "big images, $kind x $n: output check failed" >&2; exit 1; }
    printf '%s\t%s\t%s\t%s\n' "$kind" "$n" "$(awk -v s="$start" -v e="$end" 'BEGIN {print e - s}')" "$peak" >>"$big"
  done
  out="$work/out"; rm -rf "$out"; mkdir -p "$out"
  printf '%s\t%s\t%s\t0\n' ceiling "$n" "$("$ceiling" "$out" "$bigBytes" "$n" "$n")" >>"$big"
  rm -rf "$out" "$work/big$n"
done

# Growth: RSS after a tenth of the images and after all of them again.
out="$work/out"; rm -rf "$out"; mkdir -p "$out" "$work/first"
port=$(freePort)
start_receiver ours "$out" "$port"
sources=("$work"/src/*.dcm)
ln -s "${sources[@]:0:$((images / 10))}" "$work/first/"
TCP_NODELAY=1 storescu -R +sd 127.0.0.1 "$port" "$work/first" >/dev/null
rssEarly=$(rssKiB "$rpid")
send 1 "$port"
rssLate=$(rssKiB "$rpid")
stop_receiver

echo
awk -F'\t' -v images="$images" -v rounds="$rounds" -v imageBytes="$imageBytes" -v early="$rssEarly" -v late="$rssLate" \
    -v firstCount=$((images / 10)) -v bigFile="$big" -v bigBytes="$bigBytes" '
  function median(key) { return middle(times[key]) }
  function middle(list,   n, i, j, t, v) {
    n = split(list, v, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return v[int((n + 1) / 2)]
  }
  {
    if ($7 == 0) next
    key = $1 SUBSEP $2 SUBSEP $3
    times[key] = times[key] " " $4; cpus[key] = cpus[key] " " $5; cpuIn[key SUBSEP $7] = $5
    if ($6 > peak[key]) peak[key] = $6
  }
  END {
    printf "| where | associations | receiver | images/s | MB/s | ours / this | CPU ms per image | peak RSS (MiB) |\n"
    printf "|---|---:|---|---:|---:|---:|---:|---:|\n"
    split("disk tmpfs", P, " "); split("1 4", A, " ")
    for (p = 1; p <= 2; p++) for (a = 1; a <= 2; a++) {
      ours = "ours" SUBSEP P[p] SUBSEP A[a]
      ourRate = images / median(ours)
      other = (P[p] == "disk") ? "ceiling" : "storescp"
      kinds = split("ours " other (P[p] == "tmpfs" && A[a] > 1 ? " storescp-fork" : ""), K, " ")
      for (k = 1; k <= kinds; k++) {
        key = K[k] SUBSEP P[p] SUBSEP A[a]
        rate = images / median(key)
        label = (K[k] == "ceiling") ? "durable ceiling (" A[a] " thread" (A[a] > 1 ? "s" : "") ")" : K[k]
        if (K[k] == "storescp-fork") label = "storescp --fork (associations at once)"
        ratio = (K[k] == "ours") ? "" : sprintf("%.2f", ourRate / rate)
        cpums = (K[k] == "ceiling") ? "" : sprintf("%.2f", 1000 * middle(cpus[key]) / images)
        rss = (K[k] == "ceiling") ? "" : sprintf("%.1f", peak[key] / 1024)
        printf "| %s | %s | %s | %.1f | %.1f | %s | %s | %s |\n", P[p], A[a], label, rate, rate * imageBytes / 1048576, \
          ratio, cpums, rss
        if (K[k] == "ceiling" || K[k] == "storescp") target[P[p] SUBSEP A[a]] = ourRate / rate
      }
      if (P[p] == "disk") {
        # A receiver as fast as storescp that then stores as durably as the ceiling, one step
        # after the other: with a sender that waits for each answer, the steps cannot overlap.
        both = median("storescp" SUBSEP "tmpfs" SUBSEP A[a]) + median("ceiling" SUBSEP "disk" SUBSEP A[a])
        rate = images / both
        printf "| %s | %s | %s | %.1f | %.1f | %.2f |  |  |\n", P[p], A[a], "storescp on tmpfs, then the ceiling", rate, \
          rate * imageBytes / 1048576, ourRate / rate
        serial[A[a]] = rate / (images / median("ceiling" SUBSEP "disk" SUBSEP A[a]))
        rate = images / median("paced" SUBSEP "disk" SUBSEP A[a])
        printf "| %s | %s | %s | %.1f | %.1f | %.2f |  |  |\n", P[p], A[a], "durable ceiling paced by the network", rate, \
          rate * imageBytes / 1048576, ourRate / rate
        paced[A[a]] = ourRate / rate
      }
    }
    print ""
    while ((getline line < bigFile) > 0) {
      split(line, f, "\t")
      bigTime[f[1] SUBSEP f[2]] = f[3]; bigPeak[f[1] SUBSEP f[2]] = f[4]; counts[f[2]] = 1
    }
    printf "| big images at once | receiver | seconds | ours / ceiling | peak RSS (MiB) |\n|---|---|---:|---:|---:|\n"
    for (n in counts) {
      printf "| %d x %.0f MB | ours | %.1f | %.2f | %.1f |\n", n, bigBytes / 1e6, bigTime["ours" SUBSEP n], \
        bigTime["ceiling" SUBSEP n] / bigTime["ours" SUBSEP n], bigPeak["ours" SUBSEP n] / 1024
      printf "| %d x %.0f MB | storescp +B | %.1f | | %.1f |\n", n, bigBytes / 1e6, bigTime["storescp-B" SUBSEP n], \
        bigPeak["storescp-B" SUBSEP n] / 1024
      printf "| %d x %.0f MB | durable ceiling | %.1f | | |\n", n, bigBytes / 1e6, bigTime["ceiling" SUBSEP n]
      if (bigPeak["ours" SUBSEP n] / 1024 > bigWorst) bigWorst = bigPeak["ours" SUBSEP n] / 1024
    }
    print ""
    t = target["disk" SUBSEP 1] / serial[1]
    printf "target >= 0.95x storescp on tmpfs, then the ceiling, 1 association: %.2fx %s\n", t, (t >= 0.95 ? "MET" : "NOT MET")
    t = target["disk" SUBSEP 4]; printf "target >= 0.85x durable ceiling, 4 associations: %.2fx %s (storescp on tmpfs, then the ceiling: %.2fx)\n", t, (t >= 0.85 ? "MET" : "NOT MET"), serial[4]
    printf "for comparison, ours / the ceiling paced by the network: 1 association %.2fx, 4 associations %.2fx\n", paced[1], paced[4]
    for (a = 1; a <= 4; a += 3) {
      pl = ""; if (a != 1) pl = "s"
      t = target["tmpfs" SUBSEP a]; printf "target >= 1.0x storescp images/s on tmpfs, %d association%s: %.2fx %s\n", a, pl, t, (t >= 1.0 ? "MET" : "NOT MET")
      # CPU time on this virtual machine drifts between runs far more than between receivers:
      # each round pairs two neighbouring runs, and the median of the rounds counts.
      ratios = ""
      for (r = 1; r <= rounds; r++)
        ratios = ratios " " sprintf("%.2f", cpuIn["ours" SUBSEP "tmpfs" SUBSEP a SUBSEP r] / cpuIn["storescp" SUBSEP "tmpfs" SUBSEP a SUBSEP r])
      t = middle(ratios)
      printf "target <= 1.0x storescp CPU per image on tmpfs, %d association%s: %.2fx %s (rounds:%s)\n", a, pl, t, \
        (t <= 1.0 ? "MET" : "NOT MET"), ratios
      if (a > 1) {
        ratios = ""
        for (r = 1; r <= rounds; r++)
          ratios = ratios " " sprintf("%.2f", cpuIn["ours" SUBSEP "tmpfs" SUBSEP a SUBSEP r] / cpuIn["storescp-fork" SUBSEP "tmpfs" SUBSEP a SUBSEP r])
        printf "for comparison, ours / storescp --fork CPU per image, %d associations at once: %.2fx (rounds:%s)\n", a, middle(ratios), ratios
      }
    }
    for (n in counts) {
      t = bigTime["ceiling" SUBSEP n] / bigTime["ours" SUBSEP n]
      printf "target >= 0.85x durable ceiling, %d big images at once: %.2fx %s\n", n, t, (t >= 0.85 ? "MET" : "NOT MET")
    }
    printf "peak RSS with big images at once: %.1f MiB, limit 64 MiB %s\n", bigWorst, (bigWorst < 64 ? "MET" : "NOT MET")
    printf "RSS after %d images: %.1f MiB, after %d more: %.1f MiB %s\n", firstCount, early / 1024, images, late / 1024, \
      (late <= early + 1024 ? "MET (no growth beyond 1 MiB)" : "NOT MET")
  }' "$results"
echo
echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -r), $(df -T "$work" | awk 'NR == 2 {print $2}') at $work, tmpfs at $shm"
