#include "GuardedConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/socket.h>

namespace dicom::detail {

namespace {

// What the acceptor read of the next connection's socket before DCMTK took it over.
struct HandOver
{
    std::mutex mutex;
    int fd = -1;
    std::vector<uint8_t> received;
};

HandOver &handOvers()
{
    static HandOver h;
    return h;
}

} // namespace

GuardedConnection::GuardedConnection(DcmNativeSocketType socket, std::vector<uint8_t> received)
    : DcmTCPConnection(socket), ahead_(std::move(received))
{
    aheadEnd_ = ahead_.size();
}

OFBool GuardedConnection::networkDataAvailable(int timeout)
{
    if (headersBegin_ < headers_.size() || aheadBegin_ < aheadEnd_ || refusal_ != 0)
        return OFTrue;
    // What has arrived already needs no poll.
    const ssize_t n = refill(false);
    if (n > 0)
        return OFTrue;
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
    auto *out = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < nbyte) {
        if (headersBegin_ < headers_.size() || aheadBegin_ < aheadEnd_) {
            done += fromAhead(out + done, nbyte - done);
            if (scanner_.refused())
                return refuse(EPROTO);
            continue;
        }
        // Waits only for the first byte; then takes whatever more has arrived.
        const bool wait = done == 0;
        const uint64_t passable = scanner_.passable();
        if (passable >= kReadAhead && nbyte - done >= kReadAhead) {
            // A long value straight into DCMTK's buffer, scanned before it is handed on.
            const ssize_t n = receive(out + done, size_t(std::min<uint64_t>(passable, nbyte - done)), wait);
            if (n > 0) {
                if (!scanner_.pass(out + done, size_t(n)))
                    return refuse(EPROTO);
                done += size_t(n);
                continue;
            }
            if (done == 0 || refusal_ != 0)
                return refusal_ != 0 ? refuse(refusal_) : n;
            break;
        }
        const ssize_t n = refill(wait);
        if (n > 0)
            continue;
        // A failure after some bytes shows at the next read, as after a short read.
        if (done == 0 || refusal_ != 0)
            return refusal_ != 0 ? refuse(refusal_) : n;
        break;
    }
    return ssize_t(done);
}

size_t GuardedConnection::fromAhead(uint8_t *out, size_t room)
{
    if (headersBegin_ < headers_.size()) {
        const size_t take = std::min(room, headers_.size() - headersBegin_);
        std::memcpy(out, headers_.data() + headersBegin_, take);
        headersBegin_ += take;
        if (headersBegin_ == headers_.size()) {
            headers_.clear();
            headersBegin_ = 0;
        }
        return take;
    }
    const uint8_t *p = ahead_.data() + aheadBegin_;
    const size_t have = aheadEnd_ - aheadBegin_;
    const uint64_t passable = scanner_.passable();
    if (passable == 0) {
        aheadBegin_ += scanner_.takeHeader(p, have, headers_);
        if (scanner_.abortSeen())
            peerClosed();
        return 0;
    }
    const size_t take = size_t(std::min<uint64_t>({passable, have, room}));
    if (!scanner_.pass(p, take))
        return 0;
    std::memcpy(out, p, take);
    aheadBegin_ += take;
    return take;
}

ssize_t GuardedConnection::refill(bool wait)
{
    if (ahead_.size() != kReadAhead) {  // a whole association request was here
        ahead_.assign(kReadAhead, 0);
        ahead_.shrink_to_fit();
    }
    const ssize_t n = receive(ahead_.data(), kReadAhead, wait);
    aheadBegin_ = 0;
    aheadEnd_ = size_t(std::max<ssize_t>(n, 0));
    return n;
}

ssize_t GuardedConnection::receive(void *buf, size_t nbyte, bool wait)
{
    ssize_t n;
    do {
        n = ::recv(getSocket(), buf, nbyte, wait ? 0 : MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == 0 && nbyte > 0)
        peerClosed();
    if (n > 0 && !scanner_.arrived(size_t(n), WireScanner::Clock::now())) {
        refusal_ = ETIMEDOUT;
        if (report_)
            report_->refusal = refusal_;
        return -1;
    }
    return n;
}

ssize_t GuardedConnection::refuse(int why)
{
    errno = refusal_ = why;
    if (report_)
        report_->refusal = why;
    return -1;
}

void GuardedConnection::peerClosed()
{
    if (report_)
        report_->peerClosed = true;
}

void GuardedConnection::setTransferSyntax(uint8_t id, E_TransferSyntax xfer)
{
    const DcmXfer x(xfer);
    scanner_.setEncoding(id, {x.isExplicitVR() != OFFalse, x.getByteOrder() == EBO_BigEndian,
                              x.getStreamCompression() != ESC_none});
}

void GuardedTransportLayer::handOver(int fd, std::vector<uint8_t> received)
{
    HandOver &h = handOvers();
    const std::lock_guard lock(h.mutex);
    h.fd = fd;
    h.received = std::move(received);
}

DcmTransportConnection *GuardedTransportLayer::createConnection(DcmNativeSocketType socket, OFBool useSecureLayer)
{
    if (useSecureLayer)
        return nullptr;
    std::vector<uint8_t> received;
    {
        HandOver &h = handOvers();
        const std::lock_guard lock(h.mutex);
        if (h.fd == socket) {
            received = std::move(h.received);
            h.fd = -1;
        }
    }
    return new GuardedConnection(socket, std::move(received));
}

} // namespace dicom::detail
