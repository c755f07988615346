#!/usr/bin/env bash
# Throughput and memory of the receiver against DCMTK's storescp, on loopback.
#   bench/run.sh [--quick] [--images N] [--rounds R]
# Receivers, alternated round by round: ours (the real window offscreen, switch pressed by
# the harness), storescp tuned for the load, and storescp running dcmodify on each file.
# Senders: one storescu, and four storescu in parallel, each with and without TCP_NODELAY=1.
# Every run's output is checked (count, stamp, pixel data) before it counts.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/loopback.sh"

images=2000 rounds=3 bigFrames=100 bigCount=3
while (($#)); do
  case "$1" in
    --quick) images=200 rounds=1 bigFrames=20 bigCount=1 ;;
    --images) images="$2"; shift ;;
    --rounds) rounds="$2"; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--images N] [--rounds R]" >&2; exit 2 ;;
  esac
  shift
done
modifyImages=$((images < 200 ? images : 200))  # storescp + dcmodify forks per image: a sample

"$root/scripts/setup.sh" dcmtk procps iproute2 >/dev/null
bin="$root/build/tools"
work="$(mktemp -d /var/tmp/stamp-bench.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
name="Radiologie Nord"

echo "Generating $images images of 512x512x16 bit and $bigCount multi-frame images in $work ..."
mkdir -p "$work/src" "$work/big" "$work/modify"
"$bin/make_images" "$work/src" "$images" 512 512 1 "2.25.7301.$$.1"
"$bin/make_images" "$work/big" "$bigCount" 512 512 "$bigFrames" "2.25.7301.$$.2"
for d in a b c d; do mkdir -p "$work/split/$d"; done
i=0
for f in "$work"/src/*.dcm; do
  d=$(printf 'abcd' | cut -c$((i % 4 + 1)))
  ln -s "$f" "$work/split/$d/"
  ((i < modifyImages)) && ln -s "$f" "$work/modify/"
  i=$((i + 1))
done
imageBytes=$(du -b --apparent-size -L "$work/src" | cut -f1)
bigBytes=$(du -b --apparent-size "$work/big" | cut -f1)

# start_receiver KIND OUTDIR PORT: sets rpid
start_receiver() {
  local kind="$1" out="$2" port="$3"
  case "$kind" in
    ours) QT_QPA_PLATFORM=offscreen "$bin/stamp_receiver" "$port" "$out" "$name" >/dev/null 2>&1 & ;;
    storescp) TCP_NODELAY=1 storescp +xa -pdu 131072 -od "$out" -fe .dcm "$port" & ;;
    dcmodify) TCP_NODELAY=1 storescp +xa -pdu 131072 -od "$out" -fe .dcm -xs \
                -xcr "dcmodify -nb -m \"(0008,0080)=$name\" #p/#f" "$port" & ;;
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
now() { date +%s.%N; }

# send SETUP PORT SOURCE: SETUP is 1 or 4 associations, -nd or -nagle
send() {
  local assocs="$1" delay="$2" port="$3" source="$4" nd=0
  [ "$delay" = nodelay ] && nd=1
  if [ "$assocs" = 1 ]; then
    TCP_NODELAY=$nd storescu -R +sd 127.0.0.1 "$port" "$source" >/dev/null
  else
    local ps=()
    for d in a b c d; do
      TCP_NODELAY=$nd storescu -R +sd 127.0.0.1 "$port" "$work/split/$d" >/dev/null &
      ps+=($!)
    done
    for p in "${ps[@]}"; do wait "$p"; done
  fi
}

results="$work/results.tsv"
: >"$results"
for round in $(seq "$rounds"); do
  for assocs in 1 4; do
    for delay in nodelay nagle; do
      for kind in ours storescp dcmodify; do
        source="$work/src" count=$images bytes=$imageBytes expect="$name"
        if [ "$kind" = dcmodify ]; then
          [ "$assocs" = 4 ] && continue  # storescp serves one association at a time anyway
          source="$work/modify" count=$modifyImages bytes=$((imageBytes / images * modifyImages))
        fi
        [ "$kind" = storescp ] && expect=""
        out="$work/out-$kind"
        rm -rf "$out"; mkdir -p "$out"
        port=$(freePort)
        start_receiver "$kind" "$out" "$port"
        start=$(now)
        send "$assocs" "$delay" "$port" "$source"
        end=$(now)
        peak=$(peakKiB "$rpid")
        stop_receiver
        if ! check=$("$bin/verify_output" "$source" "$out" ${expect:+"$expect"}); then
          echo "round $round, $kind, $assocs x $delay: output check failed:" >&2
          echo "$check" >&2
          exit 1
        fi
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$assocs" "$delay" "$count" "$bytes" \
          "$(awk -v s="$start" -v e="$end" 'BEGIN {print e - s}')" "$peak" >>"$results"
        printf 'round %s  %-9s %s x %-8s %6.1f images/s\n' "$round" "$kind" "$assocs" "$delay" \
          "$(awk -v n="$count" -v s="$start" -v e="$end" 'BEGIN {print n / (e - s)}')"
      done
    done
  done
done

# Memory: the multi-frame images through one association, and growth over many images.
out="$work/out-memory"; mkdir -p "$out"
port=$(freePort)
start_receiver ours "$out" "$port"
send 1 nodelay "$port" "$work/big"
bigPeak=$(peakKiB "$rpid")
rm -rf "$out"/*
mkdir -p "$work/first"
sources=("$work"/src/*.dcm)
ln -s "${sources[@]:0:$((images / 10))}" "$work/first/"
send 1 nodelay "$port" "$work/first"
rssEarly=$(rssKiB "$rpid")
send 1 nodelay "$port" "$work/src"
rssLate=$(rssKiB "$rpid")
stop_receiver
"$bin/verify_output" "$work/src" "$out" "$name" >/dev/null || { echo "memory run: output check failed" >&2; exit 1; }

echo
awk -F'\t' -v images="$images" -v bigBytes="$bigBytes" -v bigCount="$bigCount" -v bigPeak="$bigPeak" \
    -v early="$rssEarly" -v late="$rssLate" -v firstCount=$((images / 10)) '
  function median(key,   n, i, j, t, v) {
    n = split(times[key], v, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return v[int((n + 1) / 2)]
  }
  {
    key = $1 SUBSEP $2 SUBSEP $3
    times[key] = times[key] " " $6; count[key] = $4; bytes[key] = $5
    if ($7 > peak[$1 SUBSEP $2]) peak[$1 SUBSEP $2] = $7
  }
  END {
    printf "| sender | receiver | images/s | MB/s | ours / this | peak RSS (MiB) |\n"
    printf "|---|---|---:|---:|---:|---:|\n"
    split("1 4", A, " "); split("nodelay nagle", D, " "); split("ours storescp dcmodify", K, " ")
    for (a = 1; a <= 2; a++) for (d = 1; d <= 2; d++) {
      ourKey = "ours" SUBSEP A[a] SUBSEP D[d]
      ourRate = count[ourKey] / median(ourKey)
      for (k = 1; k <= 3; k++) {
        key = K[k] SUBSEP A[a] SUBSEP D[d]
        if (!(key in count)) continue
        rate = count[key] / median(key)
        label = (K[k] == "dcmodify") ? "storescp + dcmodify" : K[k]
        ratio = (K[k] == "ours") ? "" : sprintf("%.2f", ourRate / rate)
        printf "| %s assoc., %s | %s | %.1f | %.1f | %s | %.1f |\n", A[a], (D[d] == "nodelay" ? "TCP_NODELAY=1" : "Nagle on"), \
          label, rate, bytes[key] / median(key) / 1048576, ratio, peak[K[k] SUBSEP A[a]] / 1024
        if (K[k] == "storescp") target[A[a] SUBSEP D[d]] = ourRate / rate
        if (K[k] == "dcmodify") modtarget[A[a] SUBSEP D[d]] = ourRate / rate
      }
    }
    print ""
    for (d = 1; d <= 2; d++) {
      r1 = target["1" SUBSEP D[d]]; r4 = target["4" SUBSEP D[d]]; rm = modtarget["1" SUBSEP D[d]]
      printf "target >= 1.0x storescp, 1 association, %s: %.2fx %s\n", D[d], r1, (r1 >= 1.0 ? "MET" : "NOT MET")
      printf "target >= 1.3x storescp, 4 associations, %s: %.2fx %s\n", D[d], r4, (r4 >= 1.3 ? "MET" : "NOT MET")
      printf "target >= 10x storescp + dcmodify, %s: %.2fx %s\n", D[d], rm, (rm >= 10 ? "MET" : "NOT MET")
    }
    image = bigBytes / bigCount / 1048576
    limit = 60 + 1.5 * image
    printf "peak RSS with %d multi-frame images of %.0f MiB (1 association): %.1f MiB, limit %.1f MiB %s\n", \
      bigCount, image, bigPeak / 1024, limit, (bigPeak / 1024 <= limit ? "MET" : "NOT MET")
    limit4 = 60 + 1.5 * 0.5 * 4
    ourPeak4 = peak["ours" SUBSEP "4"] / 1024
    printf "peak RSS with 4 associations of 0.5 MiB images: %.1f MiB, limit %.1f MiB %s\n", ourPeak4, limit4, \
      (ourPeak4 <= limit4 ? "MET" : "NOT MET")
    printf "RSS after %d images: %.1f MiB, after %d more: %.1f MiB %s\n", firstCount, early / 1024, images, late / 1024, \
      (late <= early + 1024 ? "MET (no growth beyond 1 MiB)" : "NOT MET")
  }' "$results"
echo
echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -r), $(df -T "$work" | awk 'NR == 2 {print $2}') at $work"
