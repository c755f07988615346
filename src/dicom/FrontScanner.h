#pragma once

#include <cstddef>
#include <cstdint>

namespace dicom::detail {

// Finds where the front of a data set ends: its top-level elements up to and including
// Institution Name (0008,0080), all that a stamp changes. Every byte after the front can be
// kept as it came. It reads element headers as DCMTK does for elements of defined length;
// anything it does not read the same way for certain makes the front unusable, and the data
// set is then parsed whole: a length left undefined, an item tag, a VR DCMTK keeps for
// itself or does not know, elements out of order, the length of group 0008 (which the stamp
// changes), or a front larger than kMaxFrontBytes.
class FrontScanner
{
public:
    enum class State { Reading, Found, Unusable };

    FrontScanner(bool explicitVR, bool bigEndian) : explicitVR_(explicitVR), bigEndian_(bigEndian) {}

    // Follows the data set's first `size` bytes (more than last time, same bytes before).
    State follow(const uint8_t *data, size_t size);

    State state() const { return state_; }
    // Where the first element after the front begins, once found.
    uint64_t frontEnd() const { return pos_; }
    // The top-level elements of the front.
    uint32_t elements() const { return elements_; }

private:
    uint16_t u16(const uint8_t *p) const;
    uint32_t u32(const uint8_t *p) const;

    bool explicitVR_;
    bool bigEndian_;
    State state_ = State::Reading;
    uint64_t pos_ = 0;  // the next header
    uint32_t lastTag_ = 0;
    uint32_t elements_ = 0;
};

} // namespace dicom::detail
