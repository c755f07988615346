#pragma once

#include "WireScanner.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dicom::detail {

// A plain TCP connection that hands DCMTK what its WireScanner makes of the peer's bytes: one
// PDV per P-DATA PDU, and nothing the scanner has refused. A refusal makes the read fail,
// which ends that association before DCMTK parses what was refused.
class GuardedConnection : public DcmTCPConnection
{
public:
    // `received`: bytes already read from the socket, read first.
    GuardedConnection(DcmNativeSocketType socket, std::vector<uint8_t> received);

    ssize_t read(void *buf, size_t nbyte) override;
    OFBool networkDataAvailable(int timeout) override;

    // The encoding of the data sets sent on presentation context `id`.
    void setTransferSyntax(uint8_t id, E_TransferSyntax xfer);

    using DataSetSummary = WireScanner::DataSetSummary;
    // What the scanner saw of the next data set DCMTK has received.
    DataSetSummary takeDataSet() { return scanner_.takeDataSet(); }
    // How the connection went, kept where its owner can read it after DCMTK has deleted the
    // connection (as it does once the peer aborts, even inside a data set).
    struct Report
    {
        int refusal = 0;          // why we refused it, as errno tells it (EPROTO, ETIMEDOUT)
        bool peerClosed = false;  // the peer aborted or closed its side
    };
    void reportTo(Report *report) { report_ = report; }

private:
    // Bytes received and not yet asked for. DCMTK waits for data (a poll), asks for a PDU's
    // 6-byte header, then for its body; reading a little ahead answers the wait, the header
    // and the start of the body from one receive.
    static constexpr size_t kReadAhead = 4096;
    std::vector<uint8_t> ahead_;
    size_t aheadBegin_ = 0;
    size_t aheadEnd_ = 0;
    // Headers the scanner wrote in place of the peer's, not yet read by DCMTK.
    std::string headers_;
    size_t headersBegin_ = 0;
    int refusal_ = 0;  // why the connection was refused, as errno tells it
    Report *report_ = nullptr;
    WireScanner scanner_;

    // Reads ahead from the socket into an empty read-ahead buffer.
    ssize_t refill(bool wait);
    // Reads from the socket; `wait` false: only what has arrived already.
    ssize_t receive(void *buf, size_t nbyte, bool wait);
    // Moves what the scanner allows from the bytes read ahead into `out`.
    size_t fromAhead(uint8_t *out, size_t room);
    ssize_t refuse(int why);
    void peerClosed();
};

class GuardedTransportLayer : public DcmTransportLayer
{
public:
    // The next connection made on `fd` starts with `received`. DCMTK makes connections only
    // while its process-wide external socket is set, so callers hold the lock around it.
    static void handOver(int fd, std::vector<uint8_t> received);
    DcmTransportConnection *createConnection(DcmNativeSocketType socket, OFBool useSecureLayer) override;
};

} // namespace dicom::detail
