#include "FrontScanner.h"

#include "Limits.h"
#include "VrLookup.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcvr.h>

namespace dicom::detail {

namespace {

constexpr uint32_t kInstitutionName = 0x00080080;
constexpr uint32_t kGroup8Length = 0x00080000;

} // namespace

uint16_t FrontScanner::u16(const uint8_t *p) const
{
    return bigEndian_ ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

uint32_t FrontScanner::u32(const uint8_t *p) const
{
    return bigEndian_ ? uint32_t(u16(p)) << 16 | u16(p + 2) : uint32_t(u16(p + 2)) << 16 | u16(p);
}

FrontScanner::State FrontScanner::follow(const uint8_t *data, size_t size)
{
    while (state_ == State::Reading && pos_ + 8 <= size) {
        const uint8_t *h = data + pos_;
        const uint32_t tag = uint32_t(u16(h)) << 16 | u16(h + 2);
        if (tag > kInstitutionName && elements_ > 0 && tag > lastTag_) {
            state_ = State::Found;
            break;
        }
        // Item tags, disorder and repeats, and group 0008's length are read otherwise by
        // DCMTK or changed by the stamp.
        if ((tag >> 16) == 0xFFFE || (elements_ > 0 && tag <= lastTag_) || tag == kGroup8Length
            || tag > kInstitutionName) {
            state_ = State::Unusable;
            break;
        }
        size_t header = 8;
        uint32_t length = u32(h + 4);
        if (explicitVR_) {
            const DcmVR vr(wireVR(h + 4));
            if (!vr.isStandard() || vr.isForInternalUseOnly()) {
                state_ = State::Unusable;
                break;
            }
            if (vr.usesExtendedLengthEncoding()) {
                header = 12;
                if (pos_ + 12 > size)
                    break;
                length = u32(h + 8);
            } else {
                length = u16(h + 6);
            }
        }
        if (length == 0xFFFFFFFF) {
            state_ = State::Unusable;
            break;
        }
        lastTag_ = tag;
        ++elements_;
        pos_ += header + length;
    }
    if (state_ != State::Unusable && pos_ > kMaxFrontBytes)
        state_ = State::Unusable;
    return state_;
}

} // namespace dicom::detail
