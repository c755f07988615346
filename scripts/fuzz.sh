#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for a bounded time (default 60 s) on a
# generated seed corpus plus the crashes found so far (tests/fuzz/regressions).
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
"$root/scripts/setup.sh" dcmtk clang libclang-rt-14-dev python3 >/dev/null
cmake --preset fuzz -S "$root" >/dev/null
cmake --build "$root/build-fuzz" -j"$(nproc)" --target fuzz_receive_path
corpus="$root/build-fuzz/corpus"
rm -rf "$corpus"
mkdir -p "$corpus"
"$root/tests/fuzz/make_seeds.sh" "$corpus"
# Crashes found so far, as cases to pass first: the committed ones, and a data set nested
# 20,000 sequences deep (it overflowed the parser's stack before the nesting guard).
regressions="$root/build-fuzz/regressions"
rm -rf "$regressions"
mkdir -p "$regressions"
cp "$root"/tests/fuzz/regressions/* "$regressions/" 2>/dev/null || true
python3 -c 'import struct, sys
level = struct.pack("<HHI", 0x0040, 0xA730, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)
sys.stdout.buffer.write(b"\x00" + level * 20000)' >"$regressions/deep-nesting"
cd "$root/build-fuzz/bin"
# DCMTK reserves an element's declared length before reading it (up to 4 GiB of address
# space, touched only as data arrives). Such a reservation fails cleanly here instead of
# counting as running out of memory.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=512" LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp"
./fuzz_receive_path "$regressions"/*
./fuzz_receive_path -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -malloc_limit_mb=16384 -timeout=10 \
  -artifact_prefix="$root/build-fuzz/" "$corpus"
