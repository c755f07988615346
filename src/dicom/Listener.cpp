#include "Listener.h"

#include "AppError.h"
#include "AssociationThreads.h"
#include "Limits.h"
#include "Session.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <system_error>

namespace dicom::detail {

namespace {

uint16_t checkedPort(qint32 port)
{
    if (port < 1 || port > 65535)
        throw AppError(ErrorNumber::InvalidArgument, QStringLiteral("Port %1 is outside 1-65535").arg(port));
    return uint16_t(port);
}

uint32_t peerAddress(int fd)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0 || addr.sin_family != AF_INET)
        return 0;  // all such count as one host
    return addr.sin_addr.s_addr;
}

} // namespace

Listener::Listener(qint32 port, std::shared_ptr<ImageSink> sink)
try : acceptor_(checkedPort(port)), sink_(std::move(sink))
{
    net_ = createAcceptorNetwork(acceptor_.socket(), port);
} catch (const std::system_error &e) {
    throw AppError(e.code().value(), QStringLiteral("Port %1: %2").arg(port).arg(QString::fromLocal8Bit(e.what())));
}

Listener::~Listener()
{
    acceptor_.stop();
    ASC_dropNetwork(&net_);
}

void Listener::start()
{
    acceptor_.start([this](int fd, std::vector<uint8_t> request) { onRequestArrived(fd, std::move(request)); });
}

void Listener::stop()
{
    stopping_ = true;
    acceptor_.stop();
    const std::lock_guard lock(socketsMutex_);
    for (const auto &weak : sockets_) {
        if (const auto socket = weak.lock())
            socket->stopReading();
    }
    sockets_.clear();
}

bool Listener::stopping() const
{
    return stopping_ || associationThreads::shuttingDown();
}

std::shared_ptr<ImageSink> Listener::sink()
{
    const std::lock_guard lock(sinkMutex_);
    return sink_;
}

void Listener::setSink(std::shared_ptr<ImageSink> sink)
{
    const std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
}

void Listener::onRequestArrived(int fd, std::vector<uint8_t> request)
{
    const uint32_t peer = peerAddress(fd);
    T_ASC_Association *assoc = receiveAssociation(net_, fd, std::move(request));
    if (!assoc)
        return;
    if (!admit(peer)) {
        rejectAsBusy(assoc);
        return;
    }
    try {
        auto socket = std::make_shared<AssociationSocket>(fd);
        {
            const std::lock_guard lock(socketsMutex_);
            std::erase_if(sockets_, [](const std::weak_ptr<AssociationSocket> &s) { return s.expired(); });
            sockets_.push_back(socket);
        }
        associationThreads::start(socket,
                                  [self = shared_from_this(), socket, assoc, peer] { self->serve(socket, assoc, peer); });
    } catch (...) {
        // No memory or no thread for it: this association is turned away, the listener goes on.
        leave(peer);
        rejectAsBusy(assoc);
    }
}

bool Listener::admit(uint32_t peer)
{
    const std::lock_guard lock(activeMutex_);
    size_t &fromPeer = activePerPeer_[peer];
    if (active_ >= kMaxAssociations || fromPeer >= kMaxAssociationsPerPeer) {
        if (fromPeer == 0)
            activePerPeer_.erase(peer);
        return false;
    }
    ++active_;
    ++fromPeer;
    return true;
}

void Listener::leave(uint32_t peer)
{
    const std::lock_guard lock(activeMutex_);
    --active_;
    if (--activePerPeer_[peer] == 0)
        activePerPeer_.erase(peer);
}

void Listener::serve(const std::shared_ptr<AssociationSocket> &socket, T_ASC_Association *assoc, uint32_t peer)
{
    StoreService store([this] { return sink(); }, [this] { return stopping(); });
    const AssociationEnd end = serveAssociation(assoc, *socket, store, [this] { return stopping(); });
    if (const std::shared_ptr<ImageSink> current = sink())
        current->associationEnded(end);
    leave(peer);
}

} // namespace dicom::detail
