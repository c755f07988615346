#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

typedef struct z_stream_s z_stream;

namespace dicom::detail {

// Follows the element structure of one DICOM byte stream (a command or a data set) as it
// arrives, keeping none of it, and tells when it is nested deeper than DCMTK's recursive
// parser can take without running out of stack.
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

private:
    enum class Kind { Sequence, Item, Fragments };
    struct Open
    {
        uint64_t end;  // kUndefined for undefined length
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
    std::unique_ptr<z_stream> inflater_;
};

// A plain TCP connection that watches the P-DATA it delivers to DCMTK: a command or data set
// nested too deep makes the read fail, which ends that association before DCMTK parses it.
class GuardedConnection : public DcmTCPConnection
{
public:
    explicit GuardedConnection(DcmNativeSocketType socket) : DcmTCPConnection(socket) {}

    ssize_t read(void *buf, size_t nbyte) override;

    // The encoding of the data sets sent on presentation context `id`.
    void setTransferSyntax(uint8_t id, E_TransferSyntax xfer);

private:
    bool scan(const uint8_t *p, size_t n);

    enum class State { PduHeader, PduBody, PdvHeader, PdvData };
    State state_ = State::PduHeader;
    uint8_t header_[6] = {};
    size_t have_ = 0;
    bool pdata_ = false;
    uint64_t pduLeft_ = 0;
    uint64_t pdvLeft_ = 0;
    bool pdvCommand_ = false;
    bool pdvLast_ = false;
    uint8_t pdvContext_ = 0;
    std::map<uint8_t, NestingGuard::Encoding> encodings_;
    std::unique_ptr<NestingGuard> command_;
    std::unique_ptr<NestingGuard> dataset_;
    bool failed_ = false;
};

class GuardedTransportLayer : public DcmTransportLayer
{
public:
    DcmTransportConnection *createConnection(DcmNativeSocketType socket, OFBool useSecureLayer) override;
};

} // namespace dicom::detail
