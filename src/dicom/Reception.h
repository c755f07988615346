#pragma once

#include "DicomServer.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace dicom::detail {

// The path from the listener threads to the server object that started the listener. It
// outlives the server object, which detaches from it when destroyed.
class Sink : public std::enable_shared_from_this<Sink>
{
public:
    explicit Sink(DicomServer *server) : server_(server) {}

    void setOn(bool on) { on_ = on; }
    void setWriteFailureHandler(std::function<void()> handler);
    std::function<void()> writeFailureHandler();
    bool on() const { return on_; }
    void detach();

    // From a worker thread: runs the image-received handler on the server object's thread and
    // waits for it, then performs the writes it asked for. Gives up while the handler has not
    // started if `abandon` says so. True when the image was stored.
    bool deliver(const Connection &connection, Image &image, const std::function<bool()> &abandon);

private:
    std::mutex mutex_;
    DicomServer *server_;
    std::function<void()> onWriteFailure_;
    std::atomic<bool> on_{false};
    std::atomic<bool> detached_{false};
};

// Binds `port` and starts accepting associations whose images go to `sink`. When this process
// already listens on the port, the listener's images go to `sink` from now on.
void startListener(qint32 port, std::shared_ptr<Sink> sink);
void stopListener(qint32 port);
void shutdownAll();

} // namespace dicom::detail
