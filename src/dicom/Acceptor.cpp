#include "Acceptor.h"

#include "Limits.h"
#include "WireScanner.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace dicom::detail {

namespace {

using Clock = std::chrono::steady_clock;

struct Waiting
{
    int fd;
    uint32_t peer;  // IPv4 address
    Clock::time_point accepted;
    bool started = false;  // the request's PDU header has arrived
    std::vector<uint8_t> request;  // what has arrived of it

    Clock::time_point deadline() const
    {
        return accepted + std::chrono::seconds(started ? kRequestSeconds : kFirstBytesSeconds);
    }
};

enum class Readiness { Wait, Ready, Drop };

void setBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

void setLowWater(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

[[noreturn]] void throwErrno(int e, const char *what)
{
    throw std::system_error(e, std::generic_category(), what);
}

// Reads what has arrived of the association request; whether all of it is there: its PDU
// header says how long it is. A request larger than the socket's buffer would never be
// there to peek at, so it is read as it comes, within a bound for all waiting requests.
Readiness requestReadiness(Waiting &w, size_t &heldBytes)
{
    const size_t want = w.request.size() < 6 ? 6 : 6 + size_t(bigEndian32(w.request.data() + 2));
    if (w.request.size() >= 6 && heldBytes + (want - w.request.size()) > kMaxWaitingRequestBytes)
        return Readiness::Wait;  // read once others have gone on; the deadline bounds the wait
    const size_t had = w.request.size();
    w.request.resize(want);
    ssize_t n;
    do {
        n = ::recv(w.fd, w.request.data() + had, want - had, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    w.request.resize(had + size_t(std::max<ssize_t>(n, 0)));
    heldBytes += w.request.size() - had;
    if (n == 0)
        return Readiness::Drop;
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? Readiness::Wait : Readiness::Drop;
    if (w.request[0] != 0x01)  // anything but an association request is no DICOM peer
        return Readiness::Drop;
    if (w.request.size() < 6)
        return Readiness::Wait;
    if (!w.started) {
        w.started = true;
        setLowWater(w.fd, 1);  // the rest may come in pieces of any size
    }
    const uint32_t length = bigEndian32(w.request.data() + 2);
    if (length > kMaxRequestPduLength)
        return Readiness::Drop;
    if (w.request.size() == 6 + size_t(length))
        return Readiness::Ready;
    return had < 6 ? requestReadiness(w, heldBytes) : Readiness::Wait;
}

// Whether the peer has begun its request: bytes waiting to be read. A connection that has
// is about to be handed over and is not the one to drop.
bool begun(Waiting &w)
{
    if (!w.started && w.request.empty()) {
        unsigned char byte;
        w.started = ::recv(w.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }
    return w.started || !w.request.empty();
}

// Makes room for one more waiting connection from `peer`: when that host already holds its
// share of the queue, or the queue is full, a waiting connection (of that host, or of all)
// goes, never the new one: the oldest that has not begun its request, else the oldest.
// Those who hold the queue with silence are dropped first, and by their deadlines; those who
// flood it push out their own old connections, not a sender's that has spoken.
// Each connection first gets kAdmissionGraceMs to begin, the queue growing up to its hard
// limit meanwhile: a flood that reopens every dropped connection at once would otherwise push
// out a sender of the same host before it has had the time to send its request.
void makeRoom(std::vector<Waiting> &waiting, uint32_t peer, Clock::time_point now)
{
    const auto fromPeer = std::count_if(waiting.begin(), waiting.end(), [peer](const Waiting &w) { return w.peer == peer; });
    const bool onlyPeer = size_t(fromPeer) >= kMaxWaitingPerPeer;
    if (!onlyPeer && waiting.size() < kMaxWaitingConnections)
        return;
    auto victim = waiting.end();
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        if (onlyPeer && it->peer != peer)
            continue;
        if (victim == waiting.end())
            victim = it;  // the oldest, should all have begun
        if (!begun(*it)) {
            victim = it;
            break;
        }
    }
    const bool inGrace = victim != waiting.end() && now - victim->accepted < std::chrono::milliseconds(kAdmissionGraceMs);
    if (inGrace && waiting.size() < kMaxWaitingHardLimit)
        return;
    if (victim != waiting.end()) {
        ::close(victim->fd);
        waiting.erase(victim);
    }
}

void acceptConnections(int listenFd, std::vector<Waiting> &waiting)
{
    for (;;) {
        sockaddr_in addr{};
        socklen_t addrLength = sizeof addr;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&addr), &addrLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        makeRoom(waiting, addr.sin_addr.s_addr, Clock::now());
        // Nagle's algorithm would hold each small response back by tens of milliseconds.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setLowWater(fd, 6);
        waiting.push_back({fd, addr.sin_addr.s_addr, Clock::now()});
    }
}

} // namespace

Acceptor::Acceptor(uint16_t port)
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throwErrno(errno, "cannot open a socket");
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 128) != 0) {
        const int e = errno;
        ::close(listenFd_);
        throwErrno(e, "cannot listen");
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int e = errno;
        ::close(listenFd_);
        throwErrno(e, "cannot listen");
    }
}

Acceptor::~Acceptor()
{
    stop();
}

void Acceptor::start(RequestArrived onRequest)
{
    onRequest_ = std::move(onRequest);
    thread_ = std::thread(&Acceptor::run, this);
}

void Acceptor::stop()
{
    if (listenFd_ < 0)
        return;
    stopping_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
}

void Acceptor::run()
{
    std::vector<Waiting> waiting;
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        auto timeout = std::chrono::milliseconds(kAcceptorWakeMs);
        const auto now = Clock::now();
        for (const Waiting &w : waiting) {
            fds.push_back({w.fd, POLLIN, 0});
            timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(w.deadline() - now));
        }
        const int n = ::poll(fds.data(), fds.size(), int(std::max<long long>(0, timeout.count())));
        if (stopping_)
            break;
        if (n < 0)
            continue;

        std::vector<Waiting> still;
        const auto later = Clock::now();
        size_t held = 0;
        for (const Waiting &w : waiting)
            held += w.request.size();
        for (size_t i = 0; i < waiting.size(); ++i) {
            Waiting &w = waiting[i];
            Readiness r = Readiness::Wait;
            if (fds[i + 2].revents != 0)
                r = requestReadiness(w, held);
            if (r == Readiness::Wait && later >= w.deadline())
                r = Readiness::Drop;
            if (r == Readiness::Ready) {
                setLowWater(w.fd, 1);
                setBlocking(w.fd, true);
                onRequest_(w.fd, std::move(w.request));
            } else if (r == Readiness::Drop) {
                ::close(w.fd);
            } else {
                still.push_back(std::move(w));
            }
        }
        waiting.swap(still);
        if (fds[1].revents & POLLIN)
            acceptConnections(listenFd_, waiting);
    }
    for (const Waiting &w : waiting)
        ::close(w.fd);
}

} // namespace dicom::detail
