#!/usr/bin/env bash
# Seed corpus for the fuzz target: small images in several transfer syntaxes and character sets.
#   make_seeds.sh OUTDIR
set -euo pipefail
out="$1"
mkdir -p "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/ct.txt" <<'DUMP'
(0008,0005) CS [ISO_IR 100]
(0008,0016) UI =CTImageStorage
(0008,0018) UI [1.2.3.4.5]
(0008,0080) LO [Old Hospital]
(0010,0010) PN [Doe^John]
(0040,a730) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0040,a160) UT [text]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0028,0002) US 1
(0028,0004) CS [MONOCHROME2]
(0028,0010) US 2
(0028,0011) US 2
(0028,0100) US 16
(0028,0101) US 16
(0028,0102) US 15
(0028,0103) US 0
(7fe0,0010) OW 0001\0002\0003\0004
DUMP
dump2dcm -q -g +te "$tmp/ct.txt" "$out/explicit.dcm"
dump2dcm -q -g +ti "$tmp/ct.txt" "$out/implicit.dcm"
dump2dcm -q -g +tb "$tmp/ct.txt" "$out/bigendian.dcm"
dump2dcm -q -g +td "$tmp/ct.txt" "$out/deflated.dcm" 2>/dev/null || true
dump2dcm -q +te "$tmp/ct.txt" "$out/bare-dataset.dcm"
dcmcrle -q "$out/explicit.dcm" "$out/rle.dcm"
sed 's/ISO_IR 100/ISO_IR 192/' "$tmp/ct.txt" >"$tmp/utf8.txt"
dump2dcm -q -g +te "$tmp/utf8.txt" "$out/utf8.dcm"
