#pragma once

#include <dcmtk/dcmdata/dcvr.h>

#include <cstdint>

namespace dicom::detail {

// DCMTK's own answers, asked once and remembered. The wire guard and the front scanner ask
// them for every element header that passes; DCMTK answers the first with a search of its
// dictionary under a lock all associations share, the second with a search of its VR table.
// The dictionary is loaded before the first association and never changed afterwards, so a
// remembered answer is the one DCMTK gives.

// The VR DCMTK's dictionary gives a tag without private creator: DcmTag(group, element).getEVR().
DcmEVR dictionaryVR(uint16_t group, uint16_t element);

// The VR DCMTK reads from two bytes on the wire: a known name, an unknown one in capitals (a
// future VR, read with the 4-byte length), or anything else (read with the 2-byte length).
DcmEVR wireVR(const uint8_t *bytes);

}  // namespace dicom::detail
