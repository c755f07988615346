#pragma once

#include "NestingGuard.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <cstdint>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace dicom::detail {

// A plain TCP connection that watches the P-DATA it delivers to DCMTK, so that DCMTK never
// parses what the guard has not read the same way: a command or data set nested too deep, a
// data-set fragment where no data set is due (DCMTK would read it as a command), one on
// another presentation context than its command's or on one not accepted, a command too
// large or one whose data-set announcement cannot be read, all make the read fail, which ends
// that association before DCMTK parses them. So does a message that comes too slowly.
class GuardedConnection : public DcmTCPConnection
{
public:
    explicit GuardedConnection(DcmNativeSocketType socket) : DcmTCPConnection(socket) {}

    ssize_t read(void *buf, size_t nbyte) override;
    OFBool networkDataAvailable(int timeout) override;

    // The encoding of the data sets sent on presentation context `id`.
    void setTransferSyntax(uint8_t id, E_TransferSyntax xfer);

    // What the guard saw of each complete data set, oldest first. One read may carry the end
    // of several messages, so the guard may be ahead of DCMTK by more than one data set:
    // whoever receives a data set takes its own summary. None left reads as a data set that
    // ends inside an element, one not to be parsed.
    struct DataSetSummary
    {
        uint64_t size = 0;  // inflated, for a deflated one
        bool oversize = false;
        bool endsInsideElement = true;
        NestingGuard::Shape shape;  // what parsing it would cost
    };
    DataSetSummary takeDataSet();

    // A command set larger than this is no command a sender would make.
    static constexpr size_t kMaxCommandBytes = 64 * 1024;
    static constexpr size_t kMaxDataSetsAhead = 1024;

private:
    // Bytes already read and scanned that DCMTK has not asked for yet. DCMTK waits for data
    // (a poll), asks for a PDU's 6-byte header, then for its body; reading a little ahead
    // answers the wait, the header and the start of the body from one receive.
    static constexpr size_t kReadAhead = 4096;
    uint8_t ahead_[kReadAhead];
    size_t aheadBegin_ = 0;
    size_t aheadEnd_ = 0;
    int refusal_ = 0;  // why the guard ended the connection, as errno tells it

    // Reads from the socket and scans; `wait` false: only what has arrived already.
    ssize_t receive(void *buf, size_t nbyte, bool wait);
    bool scan(const uint8_t *p, size_t n);
    bool startPdv();
    void endOfCommand();

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
    std::deque<DataSetSummary> dataSets_;
    std::string commandBytes_;   // the command in progress, to read its data-set announcement
    uint8_t commandContext_ = 0;
    bool dataSetDue_ = false;    // the last command announced a data set not yet complete
    // The message (a command and its data set) in progress: when it began, what it brought.
    bool inMessage_ = false;
    std::chrono::steady_clock::time_point messageStart_;
    uint64_t messageBytes_ = 0;
    bool failed_ = false;
};

class GuardedTransportLayer : public DcmTransportLayer
{
public:
    DcmTransportConnection *createConnection(DcmNativeSocketType socket, OFBool useSecureLayer) override;
};

} // namespace dicom::detail
