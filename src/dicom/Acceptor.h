#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace dicom::detail {

// Accepts TCP connections on one port and holds each until its whole A-ASSOCIATE-RQ PDU has
// arrived, so that whoever takes it over reads the request without waiting, and a silent or
// slow peer never holds up the others. Plain sockets and poll(); one thread.
class Acceptor
{
public:
    // Called on the acceptor's thread with a blocking socket and the whole association
    // request read from it; the socket is the callee's from then on.
    using RequestArrived = std::function<void(int fd, std::vector<uint8_t> request)>;

    // Binds the port on every IPv4 address and listens. Throws std::system_error naming the
    // step that failed.
    explicit Acceptor(uint16_t port);
    ~Acceptor();
    Acceptor(const Acceptor &) = delete;
    Acceptor &operator=(const Acceptor &) = delete;

    int socket() const { return listenFd_; }

    void start(RequestArrived onRequest);
    // Wakes the loop and waits for it, then closes the port and the connections still
    // waiting. Safe to call twice.
    void stop();

private:
    void run();

    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    RequestArrived onRequest_;
    std::thread thread_;
};

} // namespace dicom::detail
