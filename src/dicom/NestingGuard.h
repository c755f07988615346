#pragma once

#include "Limits.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

typedef struct z_stream_s z_stream;

namespace dicom::detail {

// Follows the element structure of one DICOM byte stream (a command or a data set) as it
// arrives, keeping none of it, and tells when it is nested deeper than DCMTK's recursive
// parser can take without running out of stack. It reads each header as DCMTK 3.6.7 does
// (header size from DCMTK's own VR table, UN of undefined length as an implicit VR sequence,
// fragments only for pixel data). Where it cannot tell whether DCMTK descends into a value,
// it descends too and never reads past the end of a value of defined length: it may count
// more nesting than DCMTK sees, never less. On the way it counts what DCMTK's parse of the
// data set would cost (its Shape), again never less than DCMTK spends.
class NestingGuard
{
public:
    struct Encoding
    {
        bool explicitVR = false;
        bool bigEndian = false;
        bool deflated = false;
    };

    static constexpr size_t kReadLengthCount = std::size(kReadLengths);

    // What a parse by DCMTK holds and spends.
    struct Shape
    {
        uint64_t objects = 0;     // elements, items and fragments, each a DCMTK object
        uint64_t parseSteps = 0;  // list steps of the sorted insert and of private creator look-ups
        // Value bytes held in memory when values up to kReadLengths[i] are read (and those
        // DCMTK or the receiver read whatever their length).
        uint64_t heldValues[kReadLengthCount] = {};
        // Every top-level element comes after the one before it in tag order, none repeated.
        bool topLevelOrdered = true;
        // Any sequence, item, fragment or delimiter: structure DCMTK may refuse as it parses.
        bool containers = false;
    };

    explicit NestingGuard(Encoding encoding);
    ~NestingGuard();
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;

    // False once the stream is nested too deep (or its compression is broken); stays false.
    bool feed(const uint8_t *data, size_t size);

    // The bytes followed so far (inflated ones for a deflated stream).
    uint64_t size() const { return pos_; }
    // A deflated stream that inflates to more than kMaxInflatedDataSet; followed no further.
    bool oversize() const { return oversize_; }
    // The stream so far stops inside a header or a value, or a value claims to run past the
    // end of a sequence or item of defined length: a value claims more bytes than there
    // are, which DCMTK would reserve before finding out.
    bool endsInsideElement() const { return overrun_ || have_ != 0 || skip_ != 0 || state_ == State::Peek; }
    const Shape &shape() const { return shape_; }

private:
    enum class Kind { Sequence, Item, Fragments };
    // The elements of one item (or of the data set) as DCMTK keeps them: a sorted list.
    struct List
    {
        uint64_t count = 0;
        uint32_t lastTag = 0;  // the largest tag so far
        uint64_t creators = 0;
    };
    struct Open
    {
        uint64_t end;    // kUndefined for undefined length
        uint64_t limit;  // the nearest defined end of this or an enclosing container
        Kind kind;
        bool explicitVR;
        bool bigEndian;
        List list;
    };
    enum class State { Header, Peek, Skip };
    static constexpr uint64_t kUndefined = UINT64_MAX;

    void consume(const uint8_t *p, size_t n);
    void onHeader();
    void onItemTag(uint16_t group, uint16_t element, bool explicitVR, bool bigEndian);
    void onPeek();
    void open(Kind kind, uint32_t length, bool explicitVR, bool bigEndian);
    void push(uint64_t end, Kind kind, bool explicitVR, bool bigEndian);
    uint64_t limit() const { return open_.empty() ? kUndefined : open_.back().limit; }
    void skip(uint64_t length);
    bool fits(uint64_t length);
    void countElement(uint16_t group, uint16_t element, bool searches);
    void countValue(uint32_t length, bool readAnyway);
    List &list();
    void closeFinished();
    bool explicitVR() const { return open_.empty() ? top_.explicitVR : open_.back().explicitVR; }
    bool bigEndian() const { return open_.empty() ? top_.bigEndian : open_.back().bigEndian; }
    uint16_t u16(const uint8_t *p) const;
    uint32_t u32(const uint8_t *p) const;

    Encoding top_;
    std::vector<Open> open_;
    State state_ = State::Header;
    uint8_t head_[12] = {};
    size_t have_ = 0;
    size_t need_ = 8;
    uint64_t pos_ = 0;
    uint64_t skip_ = 0;
    uint32_t peekLength_ = 0;
    bool failed_ = false;
    bool oversize_ = false;
    bool overrun_ = false;
    List topList_;
    Shape shape_;
    std::unique_ptr<z_stream> inflater_;
};

} // namespace dicom::detail
