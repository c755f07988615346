#include "NestingGuard.h"

#include "Limits.h"
#include "VrLookup.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstring>
#include <zlib.h>

namespace dicom::detail {

static_assert(std::size(kReadLengths) == NestingGuard::kReadLengthCount);

namespace {

bool isPixelData(uint16_t group, uint16_t element)
{
    return group == 0x7FE0 && element == 0x0010;
}

bool headerHasNoVR(uint16_t group, uint16_t element)
{
    return dictionaryVR(group, element) == EVR_na;
}

// Elements whose VR DCMTK, in implicit VR, settles by searching their item's list for
// Pixel Representation or Waveform Bits Allocated.
bool searchesItem(uint16_t group, uint16_t element)
{
    static const DcmTagKey tags[] = {
        DCM_WaveformData, DCM_WaveformPaddingValue, DCM_ChannelMinimumValue, DCM_ChannelMaximumValue,
        DCM_PixelPaddingValue, DCM_PixelPaddingRangeLimit, DCM_HistogramFirstBinValue, DCM_HistogramLastBinValue,
        DCM_ZeroVelocityPixelValue, DCM_SmallestImagePixelValue, DCM_LargestImagePixelValue,
        DCM_SmallestPixelValueInSeries, DCM_LargestPixelValueInSeries, DCM_LUTDescriptor,
        DCM_RealWorldValueLastValueMapped, DCM_RealWorldValueFirstValueMapped};
    const DcmTagKey key(group, element);
    return std::find(std::begin(tags), std::end(tags), key) != std::end(tags);
}

// Values DCMTK or the receiver read whatever the read length: private creators (looked up for
// each private element), the pixel descriptors DCMTK consults while parsing, the character
// set and the UIDs the receiver compares, and text, which the stamp may have to search for
// 8-bit bytes. A private element in implicit VR takes its VR from DCMTK's private dictionary,
// which the guard does not follow: it counts as text.
bool readAnyway(uint16_t group, uint16_t element, DcmEVR vr, bool explicitVR)
{
    if ((group & 1) && ((element >= 0x0010 && element <= 0x00FF) || !explicitVR))
        return true;
    if (group == 0x0028 || (group == 0x0008 && (element == 0x0005 || element == 0x0016 || element == 0x0018)))
        return true;
    switch (vr) {
    case EVR_SH: case EVR_LO: case EVR_PN: case EVR_UC: case EVR_ST: case EVR_LT: case EVR_UT:
        return true;
    default:
        return false;
    }
}

} // namespace

NestingGuard::NestingGuard(Encoding encoding) : top_(encoding)
{
    if (encoding.deflated) {
        inflater_ = std::make_unique<z_stream>();
        std::memset(inflater_.get(), 0, sizeof(z_stream));
        // The deflated transfer syntax is a raw deflate stream, without zlib header.
        if (inflateInit2(inflater_.get(), -MAX_WBITS) != Z_OK) {
            inflater_.reset();
            failed_ = true;
        }
    }
}

NestingGuard::~NestingGuard()
{
    if (inflater_)
        inflateEnd(inflater_.get());
}

uint16_t NestingGuard::u16(const uint8_t *p) const
{
    return bigEndian() ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
}

uint32_t NestingGuard::u32(const uint8_t *p) const
{
    return bigEndian() ? (uint32_t(u16(p)) << 16) | u16(p + 2) : uint32_t(u16(p)) | (uint32_t(u16(p + 2)) << 16);
}

bool NestingGuard::feed(const uint8_t *data, size_t size)
{
    if (failed_)
        return false;
    if (!inflater_) {
        consume(data, size);
        return !failed_;
    }
    if (oversize_)
        return true;  // refused as a whole once received; inflating it serves nothing
    uint8_t out[16384];
    inflater_->next_in = const_cast<uint8_t *>(data);
    inflater_->avail_in = uInt(size);
    while (!failed_ && inflater_->avail_in > 0) {
        if (pos_ > kMaxInflatedDataSet) {
            oversize_ = true;
            break;
        }
        inflater_->next_out = out;
        inflater_->avail_out = sizeof out;
        const int rc = inflate(inflater_.get(), Z_NO_FLUSH);
        consume(out, sizeof out - inflater_->avail_out);
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            failed_ = true;
    }
    return !failed_;
}

void NestingGuard::consume(const uint8_t *p, size_t n)
{
    while (n > 0 && !failed_) {
        // A value of defined length ends where its length says, whatever its bytes claim:
        // a header or a skip that would run past that end stops there.
        const uint64_t room = limit() == kUndefined ? UINT64_MAX : limit() - pos_;
        if (room == 0) {
            if (have_ != 0 || state_ == State::Peek)
                overrun_ = true;  // a header across the end: DCMTK reads on past it
            state_ = State::Header;
            have_ = 0;
            need_ = 8;
            skip_ = 0;
            closeFinished();
            continue;
        }
        const size_t avail = size_t(std::min<uint64_t>(room, n));
        if (state_ == State::Skip) {
            const size_t take = size_t(std::min<uint64_t>(skip_, avail));
            skip_ -= take;
            pos_ += take;
            p += take;
            n -= take;
            if (skip_ == 0) {
                state_ = State::Header;
                closeFinished();
            }
            continue;
        }
        const size_t take = std::min(need_ - have_, avail);
        std::memcpy(head_ + have_, p, take);
        have_ += take;
        pos_ += take;
        p += take;
        n -= take;
        if (have_ < need_)
            continue;
        if (state_ == State::Peek) {
            onPeek();
        } else if (need_ == 8 && explicitVR() && !headerHasNoVR(u16(head_), u16(head_ + 2))
                   && DcmVR(wireVR(head_ + 4)).usesExtendedLengthEncoding()) {
            need_ = 12;
        } else {
            onHeader();
        }
    }
}

void NestingGuard::onHeader()
{
    const uint16_t group = u16(head_);
    const uint16_t element = u16(head_ + 2);
    const bool explicitVR = this->explicitVR();
    const bool bigEndian = this->bigEndian();
    have_ = 0;
    const size_t headerSize = need_;
    need_ = 8;

    if (headerHasNoVR(group, element)) {
        onItemTag(group, element, explicitVR, bigEndian);
        return;
    }

    uint32_t length;
    DcmEVR vr;
    if (explicitVR) {
        vr = wireVR(head_ + 4);
        if (vr == EVR_na) {  // DCMTK refuses it further on; its length field has a size of its own
            failed_ = true;
            return;
        }
        length = headerSize == 12 ? u32(head_ + 8) : u16(head_ + 6);
    } else {
        vr = dictionaryVR(group, element);
        length = u32(head_ + 4);
    }
    const bool unknownVR = vr == EVR_UN || vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B;
    // An explicit UN of a tag the dictionary knows as a sequence may hold one.
    const bool sequence = vr == EVR_SQ || (explicitVR && unknownVR && dictionaryVR(group, element) == EVR_SQ);
    // DCMTK reads the content of UN (and of any unknown VR) in implicit VR little endian.
    const bool contentImplicit = !explicitVR || unknownVR;
    const bool contentExplicit = contentImplicit ? false : explicitVR;
    const bool contentBig = contentImplicit ? false : bigEndian;

    countElement(group, element, !explicitVR && searchesItem(group, element));
    if (length != 0xFFFFFFFF && !fits(length))
        return;
    if (!sequence)
        countValue(length, readAnyway(group, element, vr, explicitVR));
    if (sequence) {
        open(Kind::Sequence, length, contentExplicit, contentBig);
    } else if (length == 0xFFFFFFFF) {
        // Only pixel data becomes a sequence of fragments, whose items DCMTK does not parse.
        const bool pixelData = vr == EVR_px
                               || (isPixelData(group, element) && (vr == EVR_OB || vr == EVR_OW || vr == EVR_ox));
        open(pixelData ? Kind::Fragments : Kind::Sequence, length, contentExplicit, contentBig);
    } else if (contentImplicit && (vr == EVR_UNKNOWN || vr == EVR_UN || vr == EVR_UNKNOWN2B) && length >= 8) {
        state_ = State::Peek;
        need_ = 4;
        peekLength_ = length;
        return;
    } else {
        skip(length);
    }
    closeFinished();
}

void NestingGuard::onItemTag(uint16_t group, uint16_t element, bool explicitVR, bool bigEndian)
{
    shape_.containers = true;
    const uint32_t length = u32(head_ + 4);
    const bool inFragments = !open_.empty() && open_.back().kind == Kind::Fragments;
    const bool delimiter = element == 0xE00D || element == 0xE0DD;
    if (!delimiter && length != 0xFFFFFFFF && !fits(length))
        return;
    if (element == 0xE000 && !inFragments) {
        ++shape_.objects;
        open(Kind::Item, length, explicitVR, bigEndian);
    } else if (element == 0xE00D) {
        if (!open_.empty() && open_.back().kind == Kind::Item)
            open_.pop_back();
    } else if (element == 0xE0DD) {
        if (!open_.empty() && open_.back().kind == Kind::Item)
            open_.pop_back();
        if (!open_.empty() && open_.back().kind != Kind::Item)
            open_.pop_back();
    } else {
        if (element == 0xE000)
            ++shape_.objects;  // a fragment, appended to its pixel data
        else
            countElement(group, element, false);
        countValue(length, false);
        skip(length == 0xFFFFFFFF ? 0 : length);
    }
    closeFinished();
}

void NestingGuard::onPeek()
{
    // The first four bytes of an element of unknown kind: an item tag makes it a sequence.
    const bool item = head_[0] == 0xFE && head_[1] == 0xFF && head_[2] == 0x00 && head_[3] == 0xE0;
    if (item) {
        push(pos_ - 4 + peekLength_, Kind::Sequence, false, false);
        state_ = State::Header;
        need_ = 8;  // the four bytes read are the start of the item's header
        return;
    }
    have_ = 0;
    need_ = 8;
    state_ = State::Header;
    skip(peekLength_ - 4);
    closeFinished();
}

void NestingGuard::open(Kind kind, uint32_t length, bool explicitVR, bool bigEndian)
{
    push(length == 0xFFFFFFFF ? kUndefined : pos_ + length, kind, explicitVR, bigEndian);
}

void NestingGuard::push(uint64_t end, Kind kind, bool explicitVR, bool bigEndian)
{
    shape_.containers = true;
    open_.push_back({end, std::min(end, limit()), kind, explicitVR, bigEndian});
    if (open_.size() > kMaxOpenNesting)
        failed_ = true;
}

bool NestingGuard::fits(uint64_t length)
{
    // DCMTK reads a value or container as long as it claims, past the end of one enclosing
    // it: such a data set is none to parse.
    if (limit() != kUndefined && pos_ + length > limit())
        overrun_ = true;
    return !overrun_;
}

NestingGuard::List &NestingGuard::list()
{
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        if (it->kind == Kind::Item)
            return it->list;
    }
    return topList_;
}

void NestingGuard::countElement(uint16_t group, uint16_t element, bool searches)
{
    // DCMTK inserts each element into its item's sorted list, walking back from the end: one
    // not above the largest tag so far (out of order, or a repeated tag, dropped only after
    // the walk) may walk the whole list. A private element looks its creator up in the item's
    // list of creators, twice. Some elements make DCMTK search their item's list.
    List &l = list();
    if (searches)
        shape_.parseSteps += l.count;
    const uint32_t tag = (uint32_t(group) << 16) | element;
    if (l.count > 0 && tag <= l.lastTag) {
        shape_.parseSteps += l.count;
        shape_.topLevelOrdered = shape_.topLevelOrdered && &l != &topList_;
    } else
        l.lastTag = tag;
    ++l.count;
    ++shape_.objects;
    if (group & 1) {
        if (element >= 0x0010 && element <= 0x00FF)
            ++l.creators;
        else if (element >= 0x1000)
            shape_.parseSteps += 2 * l.creators;
    }
}

void NestingGuard::countValue(uint32_t length, bool readAnyway)
{
    if (length == 0xFFFFFFFF)
        return;
    for (size_t i = 0; i < kReadLengthCount; ++i) {
        if (readAnyway || length <= kReadLengths[i])
            shape_.heldValues[i] += length;
    }
}

void NestingGuard::skip(uint64_t length)
{
    if (length > 0) {
        state_ = State::Skip;
        skip_ = length;
    }
}

void NestingGuard::closeFinished()
{
    // Everything inside a container whose defined length has run out is closed with it, even
    // if the bytes inside did not say so.
    for (size_t i = 0; i < open_.size(); ++i) {
        if (open_[i].end != kUndefined && pos_ >= open_[i].end) {
            open_.resize(i);
            return;
        }
    }
}

} // namespace dicom::detail
