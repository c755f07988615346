#!/usr/bin/env bash
# Seed corpus for the fuzz target: small data sets in each transfer syntax it picks by the
# first byte (0 implicit, 1 explicit little, 2 explicit big endian, 3 deflated, 4 RLE), and a
# C-STORE command (5).
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
# seed SELECTOR NAME FILE: FILE's bare data set after the selector byte
seed() {
  { printf "\\x0$1"; cat "$3"; } >"$out/$2"
}
dump2dcm -q -F +ti "$tmp/ct.txt" "$tmp/implicit"
dump2dcm -q -F +te "$tmp/ct.txt" "$tmp/explicit"
dump2dcm -q -F +tb "$tmp/ct.txt" "$tmp/big"
dump2dcm -q +te "$tmp/ct.txt" "$tmp/explicit.dcm"
dcmconv -q -F +td "$tmp/explicit.dcm" "$tmp/deflated"
dcmcrle -q "$tmp/explicit.dcm" "$tmp/rle.dcm"
dcmconv -q -F "$tmp/rle.dcm" "$tmp/rle"
sed 's/ISO_IR 100/ISO_IR 192/' "$tmp/ct.txt" >"$tmp/utf8.txt"
dump2dcm -q -F +te "$tmp/utf8.txt" "$tmp/utf8"
seed 0 implicit "$tmp/implicit"
seed 1 explicit "$tmp/explicit"
seed 2 bigendian "$tmp/big"
seed 3 deflated "$tmp/deflated"
seed 4 rle "$tmp/rle"
seed 1 utf8 "$tmp/utf8"
# A C-STORE command set, implicit VR little endian, as a sender puts it in its command PDVs.
python3 -c 'import struct, sys
def el(g, e, v):
    v += b"\0" if len(v) % 2 else b""
    return struct.pack("<HHI", g, e, len(v)) + v
body = (el(0, 2, b"1.2.840.10008.5.1.4.1.1.2") + el(0, 0x100, struct.pack("<H", 1)) + el(0, 0x110, struct.pack("<H", 1))
        + el(0, 0x700, struct.pack("<H", 0)) + el(0, 0x800, struct.pack("<H", 0)) + el(0, 0x1000, b"1.2.3.4.5"))
sys.stdout.buffer.write(b"\x05" + el(0, 0, struct.pack("<I", len(body))) + body)' >"$out/command"
# A wire stream for the scanner (high bit of the first byte; chunks of 7): a C-STORE whose
# command and explicit VR data set come as four PDVs in one P-DATA PDU, then a release.
python3 -c 'import struct, sys
command = open(sys.argv[1], "rb").read()[1:]
data = open(sys.argv[2], "rb").read()[1:]
pdvs = [(True, command), (False, data[:10]), (False, data[10:90]), (False, data[90:])]
body = b"".join(struct.pack(">IBB", len(p) + 2, 1, (1 if c else 0) | (2 if i in (0, 3) else 0)) + p
                for i, (c, p) in enumerate(pdvs))
sys.stdout.buffer.write(b"\x86" + struct.pack(">BBI", 4, 0, len(body)) + body + struct.pack(">BBII", 5, 0, 4, 0))
' "$out/command" "$out/explicit" >"$out/several-pdvs"
