#include "VrLookup.h"

#include <dcmtk/dcmdata/dctag.h>

#include <array>
#include <atomic>

namespace dicom::detail {

// A remembered VR is kept as its value plus one, so that zero means not yet asked.
static_assert(EVR_UNKNOWN2B < 255, "a VR fits a byte");

DcmEVR dictionaryVR(uint16_t group, uint16_t element)
{
    // Per thread, so that associations share no cache line; a data set has a few hundred
    // distinct tags, and a tag that meets another in its slot is simply asked again.
    struct Slot
    {
        uint32_t tag = 0;
        uint8_t vr = 0;
    };
    thread_local std::array<Slot, 1024> slots;
    const uint32_t tag = (uint32_t(group) << 16) | element;
    Slot &slot = slots[(tag * 2654435761u) >> 22];
    if (slot.vr == 0 || slot.tag != tag) {
        slot.tag = tag;
        slot.vr = uint8_t(DcmTag(group, element).getEVR() + 1);
    }
    return DcmEVR(slot.vr - 1);
}

DcmEVR wireVR(const uint8_t *bytes)
{
    // Every two bytes have one answer: a table of all of them, filled as they are met.
    static std::array<std::atomic<uint8_t>, 65536> table{};
    std::atomic<uint8_t> &entry = table[(bytes[0] << 8) | bytes[1]];
    uint8_t vr = entry.load(std::memory_order_relaxed);
    if (vr == 0) {
        const char name[3] = {char(bytes[0]), char(bytes[1]), 0};
        vr = uint8_t(DcmVR(name).getEVR() + 1);
        entry.store(vr, std::memory_order_relaxed);
    }
    return DcmEVR(vr - 1);
}

}  // namespace dicom::detail
