#pragma once

#include "Acceptor.h"
#include "AssociationSocket.h"
#include "ImageSink.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace dicom::detail {

// One listening port: accepts associations, up to a cap and a share of it per host, each
// served on a thread of its own, whose images go to the listener's current sink.
class Listener : public std::enable_shared_from_this<Listener>
{
public:
    // Binds the port at once. Throws AppError.
    Listener(qint32 port, std::shared_ptr<ImageSink> sink);
    ~Listener();

    void start();
    // Closes the port at once and ends its associations within a second: each stops reading,
    // so that an image not yet received is refused and one being stored still gets its answer.
    void stop();

    void setSink(std::shared_ptr<ImageSink> sink);

private:
    void onRequestArrived(int fd, std::vector<uint8_t> request);
    void serve(const std::shared_ptr<AssociationSocket> &socket, T_ASC_Association *assoc, uint32_t peer);
    bool stopping() const;
    // A place for one more association from `peer`, or none (the cap, or that host's share).
    bool admit(uint32_t peer);
    void leave(uint32_t peer);
    std::shared_ptr<ImageSink> sink();

    Acceptor acceptor_;
    T_ASC_Network *net_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::mutex activeMutex_;
    size_t active_ = 0;
    std::map<uint32_t, size_t> activePerPeer_;  // by IPv4 address
    std::mutex sinkMutex_;
    std::shared_ptr<ImageSink> sink_;
    std::mutex socketsMutex_;
    std::vector<std::weak_ptr<AssociationSocket>> sockets_;
};

} // namespace dicom::detail
