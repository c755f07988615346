# Hostile peers: broken PDUs, deep nesting, costly element orders, odd negotiation, hostile
# names. Sourced by run.sh: its helpers and state are at hand.

# The value of TAG in FILE as stored (read without DCMTK's corrections), without its padding.
storedValue() { dcmdump -dc -q +L +P "$2" "$1" | tr -d '\0' | sed -n 's/^[^[]*\[\(.*\)\].*$/\1/p' | sed 's/ *$//'; }
# storedAs UID TAG=VALUE...: one image with these elements is stored under UID, stamped, and
# every VALUE is in the file as it was sent.
storedAs() {
  local uid=$1 a
  shift
  peer store-with "$uid" "$@" | grep -q 'status 0x0000' && [ -f "$folder/$uid.dcm" ] || return 1
  for a in "$@" "0008,0080=$name"; do
    [ "$(storedValue "$folder/$uid.dcm" "${a%%=*}")" = "${a#*=}" ] || { echo "  ${a%%=*} differs"; return 1; }
  done
}

# storedSorted UID TAG=VALUE...: an image with these elements after (0008,0080), in the order
# given, is stored with its top-level elements in tag order and these values.
storedSorted() {
  local uid=$1 a
  shift
  peer store-with "$uid" as-given "$@" | grep -q 'status 0x0000' || return 1
  dcmdump -q "$folder/$uid.dcm" | sed -n 's/^(\([0-9a-f]\{4\},[0-9a-f]\{4\}\)).*/\1/p' | sort -c || return 1
  for a in "$@"; do
    [ "$(storedValue "$folder/$uid.dcm" "${a%%=*}")" = "${a#*=}" ] || { echo "  ${a%%=*} differs"; return 1; }
  done
}

group_hostile() {
  start_receiver
  local idle
  idle=$(threads)
  touch "$work/marker"
  for attack in garbage huge-pdu truncated-rq truncated-data abort-mid-image many-contexts unknown-classes; do
    peer "$attack" >/dev/null 2>&1
    check "receiver serves on after $attack" alive
  done
  # abort-mid-image aborts once the image's front has been handed on and its file begun.
  check "an image abandoned after its front leaves no file" test ! -e "$folder/1.2.3.9.2.dcm"
  check "and no temporary file" waitFor 10 noPartFiles
  check "a data set nested 50 sequences deep is stored" \
    bash -c "peer deep-nesting 50 | grep -q 'status 0x0000'"
  for depth in 5000 100000; do
    check "a data set nested $depth sequences deep ends that association" \
      bash -c "peer deep-nesting $depth | grep -q 'association ended'"
    check "receiver serves on after nesting $depth deep" alive
  done
  check "a command nested 20000 sequences deep ends that association" \
    bash -c "peer deep-command 20000 | grep -qE 'association ended|PDU type 7'"
  check "receiver serves on after a deep command" alive
  for hidden in vr un-pixel-data; do
    check "nesting hidden behind a header ($hidden) ends that association" \
      bash -c "peer hidden-nesting $hidden | grep -q 'association ended'"
  done
  check "a data set sent where a command is due ends that association" \
    bash -c "peer data-set-for-command | grep -qE 'association ended|PDU type 7'"
  check "receiver serves on after hidden nesting" alive
  before=$(awk '/^VmPeak/ {print int($2 / 1024)}' "/proc/$rpid/status")
  check "a data set cut inside a value ends its association, whatever follows in the same PDU" \
    bash -c "peer cut-then-whole | grep -qE 'association ended|PDU type 7'"
  after=$(awk '/^VmPeak/ {print int($2 / 1024)}' "/proc/$rpid/status" 2>/dev/null)
  check "and reserves no address space for the value it claims" atMost "peak address space growth" \
    "$((${after:-999999} - before))" 1024
  before=$(vmPeakMiB)
  check "a value running past the defined end of its sequence ends its association" \
    bash -c "peer overrun | grep -qE 'association ended|PDU type 7'"
  after=$(vmPeakMiB)
  check "and reserves no address space for it" atMost "peak address space growth" "$((${after:-999999} - before))" 1024

  # Parse time in proportion to the bytes: a data set whose element order would make DCMTK's
  # sorted insert walk its list again and again is refused for good, unparsed.
  local cpu
  cpu=$(cpuSeconds)
  check "130,000 empty elements in order are stored" \
    bash -c "peer many-elements ascending 130000 | grep -q 'status 0x0000'"
  for how in "descending 130000" "repeated 60000 deflated"; do
    check "elements $how are refused (0xC000)" \
      bash -c "peer many-elements $how | grep -q 'status 0xc000'"
  done
  check "and the receiver spent little CPU on all three" cpuSince "$cpu" 20
  check "the refusal is logged" logged "in an order that would take too long to parse"
  check "receiver serves on after costly element orders" alive

  # Several PDVs in one PDU: every message answered and stored, the receiver unharmed.
  check "a C-STORE in four PDVs of one PDU is answered and stored" \
    bash -c "peer pdvs-in-one-pdu store-in-fragments 1.2.3.9.30 | grep -qx 'status 0x0000' && [ -f '$folder/1.2.3.9.30.dcm' ]"
  check "two C-STOREs in one PDU are both answered and stored" \
    bash -c "peer pdvs-in-one-pdu two-stores 1.2.3.9.31 | grep -qx 'status 0x0000 status 0x0000' && [ -f '$folder/1.2.3.9.31.1.dcm' ] && [ -f '$folder/1.2.3.9.31.2.dcm' ]"
  check "two C-ECHOs in one PDU are both answered" \
    bash -c "peer pdvs-in-one-pdu two-echoes - | grep -qx 'status 0x0000 status 0x0000'"
  check "receiver serves on after several PDVs per PDU" alive

  # Association requests up to the stated limit are read, whatever the socket's buffer holds.
  check "an association request of 250 KiB is answered" \
    bash -c "peer large-request 256000 | grep -q 'answered with PDU type 2'"
  check "one over 256 KiB is not" \
    bash -c "peer large-request 270000 | grep -q 'association ended'"

  # Negotiation: per context the best syntax offered, lossy and deflate only when nothing
  # else is; every context answered; requests no careful receiver answers are refused whole.
  local offer want
  while read -r offer want; do
    check "offer $offer is accepted as $want" \
      bash -c "peer offer $offer | grep -qx '$want'"
  done <<'TABLE'
explicit,jpeg-lossless,jpeg-baseline explicit
implicit,explicit,deflated,big explicit
jpeg-baseline,implicit implicit
jpeg-baseline,jpeg-lossless jpeg-lossless
jpeg-baseline,jpeg-ls-lossy,j2k jpeg-ls-lossy
deflated,jpeg-baseline jpeg-baseline
rle,big big
jpeg-baseline jpeg-baseline
made-up rejected
jpeg-baseline,made-up jpeg-baseline
TABLE
  check "a context with 60 transfer syntaxes is refused alone, the others answered and used" \
    bash -c "peer contexts too-many-syntaxes | tr '\n' ' ' | grep -q '^1:refused 3:accepted 5:accepted status 0x0000'"
  for ids in repeated-id even-id zero-id pdu-13; do
    check "a request with $ids is rejected" \
      bash -c "peer contexts $ids | grep -q 'rejected (PDU type 3)'"
  done
  check "a peer PDU limit of 14 still gets its answer" \
    bash -c "peer contexts pdu-14 | grep -q 'status 0x0000'"

  # A C-STORE must fit its context.
  for mismatch in made-up-class verification-context no-class; do
    check "a C-STORE with $mismatch is answered 0x0122" \
      bash -c "peer mismatch $mismatch | grep -q 'status 0x0122'"
  done
  check "a data set on another context than its command ends that association" \
    bash -c "peer mismatch data-on-other-context | grep -q 'association ended'"

  # What the stored file says: the sender's meta elements are gone, an AE title that is
  # none is left out.
  check "meta elements inside a data set are stored away" \
    bash -c "peer meta-in-data-set 1.2.3.9.20 | grep -q 'status 0x0000'"
  check "and the stored file reads with its own meta header" \
    bash -c "dcmdump -q +P 0008,0018 +P 0008,0080 +P 0002,0013 '$folder/1.2.3.9.20.dcm' | tr '\n' ' ' | grep -v EVIL | grep -q '1.2.3.9.20.*$name'"
  check "a calling AE title with a backslash and 8-bit bytes is no Source AE Title" \
    bash -c "peer store-from 'A\\\\B\\xe9' 1.2.3.9.21 | grep -q 'status 0x0000' && ! dcmdump -q +P 0002,0016 '$folder/1.2.3.9.21.dcm' | grep -q ."
  check "a plain calling AE title is the Source AE Title" \
    bash -c "peer store-from MODALITY7 1.2.3.9.22 | grep -q 'status 0x0000' && dcmdump -q +P 0002,0016 '$folder/1.2.3.9.22.dcm' | grep -q MODALITY7"
  check "a data set UID that differs from the command's is answered 0xA900" \
    bash -c "peer uid-mismatch | grep -q 'status 0xa900'"
  # Refused as a name (0xC000, never storable), as a data set that disagrees with its command (a backslash
  # or NUL splits the value: 0xA900), or by ending the association (a UID too long for the
  # command): never stored.
  local refused='status 0x(c000|a900)|association ended'
  for uid in '../escaped' '1.2/../../escaped' '..\\\\escaped' '1.2\\x003' '1.2\\x1b3' "1.\$(printf '1%.0s' \$(seq 10000))"; do
    check "a SOP Instance UID '${uid:0:20}' is refused" \
      bash -c "peer store \"$uid\" | grep -qE '$refused'"
  done
  # The name is the UID as sent: one with a blank (DCMTK would make "1.2 3" into 1.23, another
  # image's UID) or one that makes a hidden file is refused for good, stored under no name.
  for uid in '1.2 3' ' 1.2.3' '.hidden' '.' '.1.2'; do
    check "a SOP Instance UID '$uid' is refused for good" \
      bash -c "peer store '$uid' | grep -q 'status 0xc000'"
  done
  check "and nothing is stored for them" \
    bash -c "[ -z \"\$(find '$folder' -mindepth 1 \( -name '.*' -o -name '1.23.dcm' -o -name '* *' \))\" ]"
  check "a Study UID with a blank is stored as it was sent" storedAs 1.2.3.9.50 '0020,000D=1.2.3.4 5'
  # Out of order, as DCMTK sorts it: in the front, which is then parsed whole, and after it,
  # which is kept as it came until the end shows the disorder.
  # A rest DCMTK cannot parse is read back before any answer, and ends the association as
  # a data set parsed whole would.
  for kind in unclosed stray-end; do
    check "a rest DCMTK cannot parse ($kind) ends that association" \
      bash -c "peer broken-rest $kind 1.2.3.9.63 | grep -q 'association ended'"
  done
  check "and leaves no file" test ! -e "$folder/1.2.3.9.63.dcm"
  check "a front out of order is stored sorted" storedSorted 1.2.3.9.61 '0008,0070=MAKER'
  check "a rest out of order is stored sorted" storedSorted 1.2.3.9.62 '0010,0020=ID7' '0009,0010=CREATOR'
  check "meta and command elements out of order after the front are stored away" \
    bash -c "peer store-with 1.2.3.9.63 as-given 0010,0020=ID7 0002,0013=EVIL 0000,0902=EVIL | grep -q 'status 0x0000' \
      && ! dcmdump -q '$folder/1.2.3.9.63.dcm' | grep -qE 'EVIL|^\(0000,'"
  # (0008,0005) values DCMTK cannot read take an ASCII stamp as it is.
  local cs n=51
  for cs in 'ISO 2022 IR 149' 'ISO_IR 100\ISO_IR 126' "ISO_IR 100$(printf '\\ISO_IR 100%.0s' $(seq 999))"; do
    check "an ASCII stamp in an image of (0008,0005) '${cs:0:24}' (${#cs} bytes) is stored" \
      storedAs "1.2.3.9.$n" "0008,0005=$cs"
    n=$((n + 1))
  done
  check "the association is answered under the name the stored files carry" \
    bash -c "[ \"\$(peer implementation)\" = \"class \$1 version \$2\" ]" _ \
    "$(storedValue "$folder/1.2.3.9.50.dcm" 0002,0012)" "$(storedValue "$folder/1.2.3.9.50.dcm" 0002,0013)"
  check "receiver serves on after hostile names" alive
  check "nothing was written outside the folder" \
    bash -c "[ -z \"\$(find '$work' -newer '$work/marker' -type f ! -path '$folder/*' ! -name receiver.out)\" ]"
  check "a well-formed image still goes through" bash -c "peer store 1.2.3.77 | grep -q 'status 0x0000'"
  check "association threads return to idle" waitFor 10 threadsAtMost "$idle"
  stop_receiver
  rm -rf "$folder"
}
