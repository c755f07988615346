#pragma once

#include "NestingGuard.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <cstdint>
#include <map>
#include <memory>

namespace dicom::detail {

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
