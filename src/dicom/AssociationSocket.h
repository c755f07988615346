#pragma once

#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace dicom::detail {

// One association's socket, as far as other threads may touch it: shut down to end the
// association at once, never after its owner has closed it.
class AssociationSocket
{
public:
    explicit AssociationSocket(int fd) : fd_(fd) {}

    void abort()
    {
        const std::lock_guard lock(mutex_);
        if (open_)
            ::shutdown(fd_, SHUT_RDWR);
    }
    // Acknowledge at once: a sender that leaves Nagle's algorithm on holds back the last
    // small segment of every message until our acknowledgement, which Linux delays by up to
    // 40 ms. The kernel drops this mode again by itself, so it is renewed per message.
    void quickAck()
    {
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    void markClosed()
    {
        const std::lock_guard lock(mutex_);
        open_ = false;
    }

private:
    std::mutex mutex_;
    int fd_;
    bool open_ = true;
};

} // namespace dicom::detail
