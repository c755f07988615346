#pragma once

#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dicom::detail {

// One association's socket, as far as other threads may touch it: shut down to end the
// association at once. It holds a descriptor of its own for the socket, so that it never
// reaches another file once DCMTK has closed its descriptor and the number is reused.
class AssociationSocket
{
public:
    explicit AssociationSocket(int fd) : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)) {}
    ~AssociationSocket() { close(); }
    AssociationSocket(const AssociationSocket &) = delete;
    AssociationSocket &operator=(const AssociationSocket &) = delete;

    // Ends what the association reads, at once; an answer being sent still goes out.
    void stopReading()
    {
        const std::lock_guard lock(mutex_);
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RD);
    }
    void abort()
    {
        const std::lock_guard lock(mutex_);
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
    }
    // Acknowledge at once: a sender that leaves Nagle's algorithm on holds back the last
    // small segment of every message until our acknowledgement, which Linux delays by up to
    // 40 ms. The kernel drops this mode again by itself, so it is renewed per message.
    void quickAck()
    {
        const int on = 1;
        const std::lock_guard lock(mutex_);
        if (fd_ >= 0)
            ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    // Once the association is over: the peer sees the connection close only when this
    // descriptor is gone too.
    void close()
    {
        const std::lock_guard lock(mutex_);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    std::mutex mutex_;
    int fd_;
};

} // namespace dicom::detail
