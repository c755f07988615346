#include "GuardedConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dicom::detail {

ssize_t GuardedConnection::read(void *buf, size_t nbyte)
{
    const ssize_t n = DcmTCPConnection::read(buf, nbyte);
    if (n > 0 && !scan(static_cast<const uint8_t *>(buf), size_t(n))) {
        errno = EPROTO;
        return -1;
    }
    return n;
}

void GuardedConnection::setTransferSyntax(uint8_t id, E_TransferSyntax xfer)
{
    const DcmXfer x(xfer);
    encodings_[id] = {x.isExplicitVR() != OFFalse, x.getByteOrder() == EBO_BigEndian,
                      x.getStreamCompression() != ESC_none};
}

bool GuardedConnection::scan(const uint8_t *p, size_t n)
{
    while (n > 0 && !failed_) {
        switch (state_) {
        case State::PduHeader: {
            const size_t take = std::min<size_t>(6 - have_, n);
            std::memcpy(header_ + have_, p, take);
            have_ += take;
            p += take;
            n -= take;
            if (have_ < 6)
                break;
            have_ = 0;
            pdata_ = header_[0] == 0x04;
            pduLeft_ = (uint64_t(header_[2]) << 24) | (uint64_t(header_[3]) << 16) | (uint64_t(header_[4]) << 8)
                       | header_[5];
            state_ = pduLeft_ == 0 ? State::PduHeader : pdata_ ? State::PdvHeader : State::PduBody;
            break;
        }
        case State::PduBody: {
            const size_t take = size_t(std::min<uint64_t>(pduLeft_, n));
            pduLeft_ -= take;
            p += take;
            n -= take;
            if (pduLeft_ == 0)
                state_ = State::PduHeader;
            break;
        }
        case State::PdvHeader: {
            const size_t take = size_t(std::min<uint64_t>(std::min<uint64_t>(6 - have_, pduLeft_), n));
            std::memcpy(header_ + have_, p, take);
            have_ += take;
            pduLeft_ -= take;
            p += take;
            n -= take;
            if (have_ < 6) {
                if (pduLeft_ == 0) {  // a broken PDU: DCMTK will refuse it
                    have_ = 0;
                    state_ = State::PduHeader;
                }
                break;
            }
            have_ = 0;
            const uint64_t length = (uint64_t(header_[0]) << 24) | (uint64_t(header_[1]) << 16)
                                    | (uint64_t(header_[2]) << 8) | header_[3];
            pdvContext_ = header_[4];
            pdvCommand_ = header_[5] & 1;
            pdvLast_ = header_[5] & 2;
            pdvLeft_ = std::min<uint64_t>(length >= 2 ? length - 2 : 0, pduLeft_);
            auto &guard = pdvCommand_ ? command_ : dataset_;
            if (!guard) {
                NestingGuard::Encoding encoding;  // commands: implicit VR little endian
                if (!pdvCommand_) {
                    const auto it = encodings_.find(pdvContext_);
                    if (it != encodings_.end())
                        encoding = it->second;
                }
                guard = std::make_unique<NestingGuard>(encoding);
            }
            state_ = State::PdvData;
            if (pdvLeft_ > 0)
                break;
            [[fallthrough]];
        }
        case State::PdvData: {
            const size_t take = size_t(std::min<uint64_t>(pdvLeft_, n));
            auto &guard = pdvCommand_ ? command_ : dataset_;
            if (take > 0 && !guard->feed(p, take))
                failed_ = true;
            pdvLeft_ -= take;
            pduLeft_ -= take;
            p += take;
            n -= take;
            if (pdvLeft_ == 0) {
                if (pdvLast_)
                    guard.reset();
                state_ = pduLeft_ == 0 ? State::PduHeader : State::PdvHeader;
            }
            break;
        }
        }
    }
    return !failed_;
}

DcmTransportConnection *GuardedTransportLayer::createConnection(DcmNativeSocketType socket, OFBool useSecureLayer)
{
    if (useSecureLayer)
        return nullptr;
    return new GuardedConnection(socket);
}

} // namespace dicom::detail
