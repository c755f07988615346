#include "GuardedConnection.h"

#include "Limits.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace dicom::detail {

OFBool GuardedConnection::networkDataAvailable(int timeout)
{
    if (aheadBegin_ < aheadEnd_ || refusal_ != 0)
        return OFTrue;
    // What has arrived already needs no poll.
    const ssize_t n = receive(ahead_, kReadAhead, false);
    if (n > 0) {
        aheadBegin_ = 0;
        aheadEnd_ = size_t(n);
        return OFTrue;
    }
    if (n == 0 || errno != EAGAIN)
        return OFTrue;  // the end or a failure: the next read reports it
    return DcmTCPConnection::networkDataAvailable(timeout);
}

ssize_t GuardedConnection::read(void *buf, size_t nbyte)
{
    // Once refused, always: a blocking receive would wait on a peer that may stay silent.
    if (refusal_ != 0) {
        errno = refusal_;
        return -1;
    }
    if (nbyte == 0)
        return 0;
    if (aheadBegin_ == aheadEnd_ && nbyte < kReadAhead) {
        const ssize_t n = receive(ahead_, kReadAhead, true);
        if (n <= 0)
            return n;
        aheadBegin_ = 0;
        aheadEnd_ = size_t(n);
    }
    if (aheadBegin_ == aheadEnd_)
        return receive(buf, nbyte, true);
    // From what was read ahead, and whatever more of the request has arrived.
    const size_t have = std::min(nbyte, aheadEnd_ - aheadBegin_);
    std::memcpy(buf, ahead_ + aheadBegin_, have);
    aheadBegin_ += have;
    if (have == nbyte)
        return ssize_t(have);
    // A failure here shows at the next read, as it would after a short read of the socket.
    const ssize_t more = receive(static_cast<uint8_t *>(buf) + have, nbyte - have, false);
    return ssize_t(have) + std::max<ssize_t>(more, 0);
}

ssize_t GuardedConnection::receive(void *buf, size_t nbyte, bool wait)
{
    ssize_t n;
    do {
        n = ::recv(getSocket(), buf, nbyte, wait ? 0 : MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return n;
    if (!scan(static_cast<const uint8_t *>(buf), size_t(n))) {
        errno = refusal_ = EPROTO;
        return -1;
    }
    if (inMessage_) {
        messageBytes_ += uint64_t(n);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now()
                                                                              - messageStart_).count();
        if (seconds > kDimseSeconds && messageBytes_ < kMinBytesPerSecond * uint64_t(seconds - kDimseSeconds)) {
            errno = refusal_ = ETIMEDOUT;
            return -1;
        }
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
            if (!startPdv()) {
                failed_ = true;
                break;
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
            if (pdvCommand_) {
                if (commandBytes_.size() + take > kMaxCommandBytes)
                    failed_ = true;
                else
                    commandBytes_.append(reinterpret_cast<const char *>(p), take);
            }
            pdvLeft_ -= take;
            pduLeft_ -= take;
            p += take;
            n -= take;
            if (pdvLeft_ == 0) {
                if (pdvLast_) {
                    if (!pdvCommand_) {
                        // Far more complete data sets than one PDU of real messages can hold.
                        if (dataSets_.size() >= kMaxDataSetsAhead)
                            failed_ = true;
                        else
                            dataSets_.push_back({guard->size(), guard->oversize(), guard->endsInsideElement(), guard->shape()});
                    }
                    guard.reset();
                    if (pdvCommand_)
                        endOfCommand();
                    else
                        dataSetDue_ = false;
                    inMessage_ = dataSetDue_;
                }
                state_ = pduLeft_ == 0 ? State::PduHeader : State::PdvHeader;
            }
            break;
        }
        }
    }
    return !failed_;
}

GuardedConnection::DataSetSummary GuardedConnection::takeDataSet()
{
    if (dataSets_.empty())
        return {};
    const DataSetSummary summary = dataSets_.front();
    dataSets_.pop_front();
    return summary;
}

bool GuardedConnection::startPdv()
{
    if (pdvCommand_) {
        if (dataSetDue_)
            return false;  // DCMTK's data-set reader refuses it; no reason to let it through
        if (!command_) {
            command_ = std::make_unique<NestingGuard>(NestingGuard::Encoding{});  // implicit VR little endian
            commandBytes_.clear();
            commandContext_ = pdvContext_;
            inMessage_ = true;
            messageStart_ = std::chrono::steady_clock::now();
            messageBytes_ = 0;
        }
        return pdvContext_ == commandContext_;
    }
    // DCMTK's command reader parses whatever PDV comes while a command is due as a command:
    // a data set is let through only where DCMTK reads it as one.
    if (!dataSetDue_ || pdvContext_ != commandContext_)
        return false;
    if (!dataset_) {
        const auto it = encodings_.find(pdvContext_);
        if (it == encodings_.end())
            return false;
        dataset_ = std::make_unique<NestingGuard>(it->second);
    }
    return true;
}

void GuardedConnection::endOfCommand()
{
    // Command Data Set Type (0000,0800): any value but 0101H announces a data set. The command
    // is read as DCMTK reads it, implicit VR little endian, the first occurrence counting;
    // one that cannot be read so is refused.
    const auto *p = reinterpret_cast<const uint8_t *>(commandBytes_.data());
    const size_t n = commandBytes_.size();
    auto u16 = [p](size_t at) { return uint16_t(p[at] | (p[at + 1] << 8)); };
    size_t pos = 0;
    dataSetDue_ = false;
    while (pos + 8 <= n) {
        const uint16_t group = u16(pos);
        const uint16_t element = u16(pos + 2);
        const uint32_t length = uint32_t(u16(pos + 4)) | (uint32_t(u16(pos + 6)) << 16);
        if (length == 0xFFFFFFFF) {
            failed_ = true;
            return;
        }
        if (group == 0x0000 && element == 0x0800) {
            dataSetDue_ = length >= 2 && pos + 10 <= n && u16(pos + 8) != 0x0101;
            break;
        }
        pos += 8 + uint64_t(length);
    }
    commandBytes_.clear();
}

DcmTransportConnection *GuardedTransportLayer::createConnection(DcmNativeSocketType socket, OFBool useSecureLayer)
{
    if (useSecureLayer)
        return nullptr;
    return new GuardedConnection(socket);
}

} // namespace dicom::detail
