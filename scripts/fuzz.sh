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
# Nesting once hidden from the guard behind headers it read differently from DCMTK: a VR that
# DCMTK reads with a 4-byte length, and UN pixel data of undefined length (both explicit VR
# little endian); and a data set sent where a command is due (read as a command).
python3 -c 'import struct, sys
implicit = (struct.pack("<HHI", 0x0040, 0xA730, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)) * 100000
explicit = (struct.pack("<HH2sHI", 0x0040, 0xA730, b"SQ", 0, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF)) * 100000
out = sys.argv[1]
open(out + "/hidden-by-vr", "wb").write(b"\x01" + struct.pack("<HH2sHI", 9, 0x1002, b"ZZ", 0xFFFE, 4) + b"abcd" + explicit)
open(out + "/un-pixel-data", "wb").write(b"\x01" + struct.pack("<HH2sHI", 0x7FE0, 0x10, b"UN", 0, 0xFFFFFFFF)
    + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + implicit)
open(out + "/data-set-as-command", "wb").write(b"\x05" + implicit)
' "$regressions"
cd "$root/build-fuzz/bin"
# DCMTK reserves an element's declared length before reading it (up to 4 GiB of address
# space, touched only as data arrives). Such a reservation fails cleanly here instead of
# counting as running out of memory.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=512" LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp"
./fuzz_receive_path "$regressions"/*
./fuzz_receive_path -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=2048 -malloc_limit_mb=16384 -timeout=10 \
  -artifact_prefix="$root/build-fuzz/" "$corpus"
