#!/usr/bin/env bash
# The Debian package as a site gets it: builds it from this checkout, runs lintian,
# desktop-file-validate and appstreamcli on it, installs it, starts the installed program as an
# ordinary user under Xvfb, switches it on from the keyboard, sends one image on loopback,
# checks the stored image and where Settings.ini and the log went; checks the service's unit
# with systemd-analyze, starts the unit's own command line as the unit's user, sends it an
# image, and purges the package, which leaves only the administrator's Settings.ini.
# Needs root (or sudo): it installs and removes the package and may add a user. Every wait is
# bounded; it stops the processes it started and removes what it made.
#   scripts/package-check.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
source "$root/scripts/lib/loopback.sh"
source "$root/scripts/lib/checks.sh"

"$root/scripts/setup.sh" lintian desktop-file-utils appstream xvfb xdotool dcmtk iproute2 util-linux procps systemd >/dev/null
"$root/scripts/package.sh" >/dev/null
debs=("$root"/build/institution-stamp_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one package in build/"; exit 1; }
deb="${debs[0]}"
echo "package: $deb"

user=stamp-check
name="Klinikum Paketprobe"
work="$(mktemp -d /tmp/stamp-package.XXXXXX)"
chmod 755 "$work"
xpid="" apid="" dpid="" installed="" created_user=""
unit=/lib/systemd/system/institution-stampd.service
etc=/etc/institution-stamp
etc_existed=""
[ -e "$etc" ] && etc_existed=1

cleanup() {
  [ -n "$apid" ] && kill -9 "$apid" 2>/dev/null
  [ -n "$dpid" ] && kill -9 "$dpid" 2>/dev/null
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
  wait 2>/dev/null
  if [ -n "$installed" ] && dpkg-query -W -f='${Status}' institution-stamp 2>/dev/null | grep -q installed; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q institution-stamp >/dev/null 2>&1
  fi
  [ -n "$created_user" ] && userdel "$user" 2>/dev/null
  [ -z "$etc_existed" ] && rm -rf "$etc"
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" TERM INT


# --- The package as built --------------------------------------------------------------------
echo "== lintian"
rc=0
out="$(lintian --fail-on error --display-level '>=info' "$deb" 2>&1)" || rc=$?
grep -v '^running with root privileges' <<<"$out" || true
check "lintian reports no errors" test "$rc" -eq 0

contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
for f in usr/bin/institution-stamp usr/share/applications/institution-stamp.desktop \
  usr/share/icons/hicolor/scalable/apps/institution-stamp.svg usr/share/man/man1/institution-stamp.1.gz \
  usr/share/doc/institution-stamp/copyright usr/share/doc/institution-stamp/changelog.gz \
  usr/sbin/institution-stampd lib/systemd/system/institution-stampd.service \
  usr/lib/sysusers.d/institution-stamp.conf usr/share/man/man8/institution-stampd.8.gz \
  usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/institution-stamp.png; do
  grep -qx "./$f" <<<"$contents" || fail "package holds /$f"
done
depends="$(dpkg-deb -f "$deb" Depends)"
check "dependencies computed from the binary" grep -q 'libdcmtk17.*libqt6widgets6' <<<"$depends"

mkdir "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
echo "== desktop-file-validate"
check "desktop entry valid" desktop-file-validate "$work/deb/usr/share/applications/institution-stamp.desktop"
echo "== appstreamcli validate --no-net"
metainfo=("$work"/deb/usr/share/metainfo/*.metainfo.xml)
check "AppStream metadata valid" appstreamcli validate --no-net "${metainfo[@]}"
# The unit's reload runs a program of another package: that one must come with this one.
reloader="$(sed -n 's/^ExecReload=\([^ ]*\).*/\1/p' "$work/deb$unit")"
comesAlong() {
  local owner
  owner="$(dpkg -S "$1" 2>/dev/null | cut -d: -f1)"
  [ -n "$owner" ] || return 1
  [ "$(dpkg-query -W -f='${Essential}' "$owner")" = yes ] || grep -qE "(^|, )$owner( |,|$)" <<<"$depends"
}
check "the unit's reload program $reloader is essential or a dependency's" comesAlong "$reloader"
for size in 16 48 256; do
  png="$work/deb/usr/share/icons/hicolor/${size}x${size}/apps/institution-stamp.png"
  check "icon of $size pixels is $size x $size" grep -q "PNG image data, $size x $size" <<<"$(file "$png")"
done

# --- Installed, used by an ordinary user -----------------------------------------------------
echo "== install"
export DEBIAN_FRONTEND=noninteractive
installed=1
apt-get install -y -q -o DPkg::Lock::Timeout=300 --no-install-recommends "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "package installs"; exit 1; }
check "program installed in /usr/bin" test -x /usr/bin/institution-stamp

if ! id "$user" >/dev/null 2>&1; then
  useradd --no-create-home --user-group --shell /usr/sbin/nologin "$user"
  created_user=1
fi
home="$work/home"
state="$work/state"      # XDG_STATE_HOME is set; XDG_CONFIG_HOME is not (~/.config)
folder="$work/in"
config="$home/.config/institution-stamp"
mkdir -p "$config" "$state" "$folder"
# The port is left empty: it is typed into the window.
printf '[InstitutionName]\r\nPort=\r\nFolder=%s/\r\nInstitutionName=%s\r\n' "$folder" "$name" >"$config/Settings.ini"
chown -R "$user:$user" "$home" "$state" "$folder"

mkfifo "$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xpid=$!
display=""
read -r -t 20 display <"$work/display" || true
[ -n "$display" ] || { cat "$work/xvfb.log"; fail "Xvfb started"; exit 1; }
export DISPLAY=":$display"

env -i PATH=/usr/bin:/bin HOME="$home" XDG_STATE_HOME="$state" DISPLAY="$DISPLAY" LANG=C.UTF-8 \
  setpriv --reuid="$user" --regid="$user" --init-groups /usr/bin/institution-stamp >"$work/app.out" 2>&1 &
apid=$!
window=""
findWindow() { window="$(xdotool search --onlyvisible --pid "$apid" 2>/dev/null | head -1)"; [ -n "$window" ]; }
waitFor 30 findWindow || { cat "$work/app.out"; fail "the window opens"; exit 1; }
pass "the window opens"
[ "$(xdotool getwindowname "$window")" = "Institution Name ändern" ] || fail "window title"
timeout 10 xdotool windowfocus --sync "$window" || fail "window takes the keyboard focus"

port=$(freePort)
log="$state/institution-stamp/Logs/ErrorLog.log"
# A person types at once: the keys go to the port field. A letter in it makes the switch
# fail, which the log must show.
xdotool type --delay 30 "x$port"
xdotool key --delay 30 Tab Tab Tab Tab space
logged() { grep -q "# 13 - \"x$port\" is not a number - btnActivate_Click" "$log" 2>/dev/null; }
if waitFor 20 logged; then
  pass "typing at start-up goes into the port; the failure is logged in \$XDG_STATE_HOME"
else
  fail "typing at start-up goes into the port; the failure is logged in \$XDG_STATE_HOME"
  cat "$log" "$work/app.out" 2>/dev/null || true
fi
# Back to the port (Tab selects its text), the right number, then "Aktivieren" again.
xdotool key --delay 30 shift+Tab shift+Tab shift+Tab shift+Tab
xdotool type --delay 30 "$port"
xdotool key --delay 30 Tab Tab Tab Tab space
echoes() { echoscu -to 2 127.0.0.1 "$port" >/dev/null 2>&1; }
check "switched on, it answers C-ECHO on port $port" waitFor 20 echoes
check "Settings.ini written in ~/.config" grep -q "^Port=$port"$'\r'"\$" "$config/Settings.ini"
check "nothing beside the installed program" test ! -e /usr/bin/Settings.ini -a ! -e /usr/bin/Logs
check "no log in the default state folder when XDG_STATE_HOME is set" test ! -e "$home/.local/state/institution-stamp"

uid=1.2.826.0.1.3680043.2.1125.99.$$
cat >"$work/image.txt" <<EOF
(0008,0016) UI =CTImageStorage
(0008,0018) UI [$uid]
(0008,0060) CS [CT]
(0008,0080) LO [Old Hospital]
(0010,0010) PN [Doe^John]
(0020,000d) UI [1.2.826.0.1.3680043.2.1125.99.1]
(0020,000e) UI [1.2.826.0.1.3680043.2.1125.99.2]
(0028,0002) US 1
(0028,0004) CS [MONOCHROME2]
(0028,0010) US 2
(0028,0011) US 2
(0028,0100) US 16
(0028,0101) US 16
(0028,0102) US 15
(0028,0103) US 0
(7fe0,0010) OW 0001\0002\0003\0004
EOF
dump2dcm +te "$work/image.txt" "$work/image.dcm"
out="$(storescu -v -to 10 -ta 10 -td 10 127.0.0.1 "$port" "$work/image.dcm" 2>&1)" && ! grep -qE 'Failed|Refused' <<<"$out" ||
  { echo "$out"; fail "storescu sends one image"; }
stored="$folder/$uid.dcm"
check "the image is stored as <SOP Instance UID>.dcm" test -f "$stored"
check "the stored image carries the institution name" grep -q "\[$name\]" <<<"$(dcmdump -q +P 0008,0080 "$stored" 2>&1)"

kill "$apid" 2>/dev/null || true
stopped() { ! kill -0 "$apid" 2>/dev/null; }
waitFor 10 stopped || kill -9 "$apid"
wait "$apid" 2>/dev/null || true
apid=""

# --- The service, as its unit would run it -------------------------------------------------
echo "== service"
[ -z "$etc_existed" ] || { fail "/etc/institution-stamp exists already: not touched, service not checked"; }
check "the package made the service's user" id institution-stamp
# Minimal images leave manual pages out; then the unit's Documentation= cannot be looked up.
manopt=--man=no
man -w institution-stampd >/dev/null 2>&1 && manopt=--man=yes
check "systemd-analyze verify finds nothing wrong with the unit" systemd-analyze verify "$manopt" "$unit"
security="$(systemd-analyze security --offline=true --threshold=25 "$unit" 2>&1)"
rc=$?
grep 'Overall exposure' <<<"$security" || true
check "systemd-analyze security: exposure 2.5 or lower" test "$rc" -eq 0
if [ -z "$etc_existed" ]; then
  # What systemd makes for the unit (StateDirectory=, LogsDirectory=) before it starts it.
  svcuser="$(sed -n 's/^User=//p' "$unit")"
  install -d -o "$svcuser" -g "$svcuser" /var/lib/institution-stamp /var/lib/institution-stamp/incoming \
    /var/log/institution-stamp
  # Port 104, as at a site, when it is free here: the unit's ambient capability is what lets
  # the user listen on it.
  sport=104
  ss -ltn "( sport = :104 )" | grep -q ':104' && sport=$(freePort)
  mkdir -p "$etc"
  printf '[InstitutionName]\r\nPort=%s\r\nFolder=/var/lib/institution-stamp/incoming\r\nInstitutionName=%s\r\n' \
    "$sport" "$name" >"$etc/Settings.ini"
  read -r -a cmdline <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
  env -i PATH=/usr/bin:/bin LANG=C.UTF-8 setpriv --reuid="$svcuser" --regid="$svcuser" --init-groups \
    --inh-caps=+net_bind_service --ambient-caps=+net_bind_service "${cmdline[@]}" 2>"$work/service.err" &
  dpid=$!
  echoes() { echoscu -to 2 127.0.0.1 "$sport" >/dev/null 2>&1; }
  check "the unit's command line, run as $svcuser, answers C-ECHO on port $sport" waitFor 20 echoes
  out="$(storescu -v -to 10 -ta 10 -td 10 127.0.0.1 "$sport" "$work/image.dcm" 2>&1)" && ! grep -qE 'Failed|Refused' <<<"$out" ||
    { echo "$out"; fail "storescu sends one image to the service"; }
  stored=/var/lib/institution-stamp/incoming/$uid.dcm
  check "the service stores the image in its folder, stamped" grep -q "\[$name\]" <<<"$(dcmdump -q +P 0008,0080 "$stored" 2>&1)"
  check "the stored image belongs to $svcuser" test "$(stat -c %U "$stored")" = "$svcuser"
  kill -TERM "$dpid"
  stopped() { ! kill -0 "$dpid" 2>/dev/null; }
  waitFor 30 stopped || kill -9 "$dpid"
  rc=0
  wait "$dpid" || rc=$?
  dpid=""
  check "the service exits 0 on SIGTERM" test "$rc" -eq 0
  check "the service's association line on standard error" grep -q '1 stored, 0 refused, released' "$work/service.err"
fi

# --- Removed ---------------------------------------------------------------------------------
echo "== purge"
dpkg -L institution-stamp >"$work/files"
apt-get purge -y -q -o DPkg::Lock::Timeout=300 institution-stamp >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "package purges"; }
check "dpkg knows no files of the package" bash -c '! dpkg -L institution-stamp >/dev/null 2>&1'
check "/usr/bin/institution-stamp is gone" test ! -e /usr/bin/institution-stamp
left=()
while read -r f; do [ -e "$f" ] && [ ! -d "$f" ] && left+=("$f"); done <"$work/files"
check "no file of the package is left" test ${#left[@]} -eq 0
((${#left[@]} == 0)) || printf '  left: %s\n' "${left[@]}"
check "no image folder or log of the service is left" test ! -e /var/lib/institution-stamp -a ! -e /var/log/institution-stamp
if [ -z "$etc_existed" ]; then
  check "the administrator's Settings.ini stays" test -f "$etc/Settings.ini"
  check "nothing else is left in /etc/institution-stamp" test "$(ls -A "$etc")" = Settings.ini
fi
installed=""

if ((failed)); then
  echo "package check: FAILED"
  exit 1
fi
echo "package check: passed"
