#pragma once

#include <cstddef>
#include <cstdint>
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
// more nesting than DCMTK sees, never less.
class NestingGuard
{
public:
    struct Encoding
    {
        bool explicitVR = false;
        bool bigEndian = false;
        bool deflated = false;
    };

    static constexpr size_t kMaxOpen = 128;  // sequences and items open at once

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
    // The stream so far stops inside a header or a value: a value claims more bytes than
    // there are, which DCMTK would reserve before finding out.
    bool endsInsideElement() const { return have_ != 0 || skip_ != 0 || state_ == State::Peek; }

private:
    enum class Kind { Sequence, Item, Fragments };
    struct Open
    {
        uint64_t end;    // kUndefined for undefined length
        uint64_t limit;  // the nearest defined end of this or an enclosing container
        Kind kind;
        bool explicitVR;
        bool bigEndian;
    };
    enum class State { Header, Peek, Skip };
    static constexpr uint64_t kUndefined = UINT64_MAX;

    void consume(const uint8_t *p, size_t n);
    void onHeader();
    void onPeek();
    void open(Kind kind, uint32_t length, bool explicitVR, bool bigEndian);
    void push(uint64_t end, Kind kind, bool explicitVR, bool bigEndian);
    uint64_t limit() const { return open_.empty() ? kUndefined : open_.back().limit; }
    void skip(uint64_t length);
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
    std::unique_ptr<z_stream> inflater_;
};

} // namespace dicom::detail
