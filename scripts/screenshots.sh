#!/usr/bin/env bash
# Takes the README's screenshots under a real window manager (openbox on Xvfb), so that they
# show the title bar: docs/window.png (idle, fields filled) and docs/receiving.png (switched on,
# while storescu sends images on loopback). Runs a copy of build/bin/institution-stamp in a
# temporary folder, so the settings beside it are the copy's own.
#   scripts/screenshots.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/loopback.sh"
source "$root/scripts/lib/checks.sh"
"$root/scripts/setup.sh" xvfb xdotool imagemagick openbox x11-utils dcmtk iproute2 >/dev/null

work="$(mktemp -d /tmp/stamp-shots.XXXXXX)"
# A short folder name reads better in the pictures; taken only when nobody has it.
folder="$work/in"
if mkdir /tmp/eingang 2>/dev/null; then folder=/tmp/eingang; fi
xpid="" wmpid="" apid="" spid=""
cleanup() {
  for p in $spid $apid $wmpid $xpid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$folder" = /tmp/eingang ] && rm -rf /tmp/eingang
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" TERM INT

port=11112
ss -ltn "( sport = :$port )" | grep -q ":$port" && port=$(freePort)
mkdir -p "$work/app" "$folder" "$work/images"
cp "$root/build/bin/institution-stamp" "$work/app/"
# Windows-1252, as the program writes it.
printf '[InstitutionName]\r\nPort=%s\r\nFolder=%s/\r\nInstitutionName=Klinikum S\xfcd\r\n' \
  "$port" "$folder" >"$work/app/Settings.ini"
"$root/build/tools/make_images" "$work/images" 400 512 512 1 1.2.826.0.1.3680043.2.1125.77 >/dev/null

mkfifo "$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x500x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xpid=$!
read -r -t 20 display <"$work/display"
export DISPLAY=":$display"
openbox >"$work/openbox.log" 2>&1 &
wmpid=$!
managed() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
waitFor 20 managed

QT_QPA_PLATFORM=xcb "$work/app/institution-stamp" >"$work/app.out" 2>&1 &
apid=$!
window=""
findWindow() { window="$(xdotool search --onlyvisible --pid "$apid" 2>/dev/null | head -1)"; [ -n "$window" ]; }
waitFor 20 findWindow
framed() { xprop -id "$window" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '='; }
waitFor 20 framed
xdotool windowactivate --sync "$window"

# The window with its frame, cut from the screen.
shot() {
  local extents info left right top bottom X Y WIDTH HEIGHT x y w h
  extents=$(xprop -id "$window" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  read -r left right top bottom <<<"$extents"
  # xwininfo, not xdotool: xdotool counts the frame's offset twice for a framed window.
  info=$(xwininfo -id "$window")
  X=$(awk '/Absolute upper-left X/ {print $NF}' <<<"$info")
  Y=$(awk '/Absolute upper-left Y/ {print $NF}' <<<"$info")
  WIDTH=$(awk '/^ *Width:/ {print $NF}' <<<"$info")
  HEIGHT=$(awk '/^ *Height:/ {print $NF}' <<<"$info")
  x=$((X - left)) y=$((Y - top)) w=$((WIDTH + left + right)) h=$((HEIGHT + top + bottom))
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$1"
}
shot "$root/docs/window.png"

# "Aktivieren" from the keyboard (the cursor starts in the port field), then images sent
# while it receives.
xdotool key --delay 50 Tab Tab Tab Tab space
echoes() { echoscu -to 2 127.0.0.1 "$port" >/dev/null 2>&1; }
waitFor 20 echoes
storescu -R +sd 127.0.0.1 "$port" "$work/images" >"$work/storescu.out" 2>&1 &
spid=$!
arriving() { [ "$(find "$folder" -name '*.dcm' | wc -l)" -ge 20 ]; }
waitFor 60 arriving
shot "$root/docs/receiving.png"
receiving=$(kill -0 "$spid" 2>/dev/null && echo yes || echo no)
done_sending() { ! kill -0 "$spid" 2>/dev/null; }
waitFor 120 done_sending
wait "$spid" || { cat "$work/storescu.out"; exit 1; }
spid=""
echo "stored $(find "$folder" -name '*.dcm' | wc -l) of 400 images; storescu still sending at the second picture: $receiving"
