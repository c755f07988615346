#pragma once

#include "DicomServer.h"
#include "ImageSink.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace dicom::detail {

// Hands each received image to the server object's ImageReceivedAsync on the object's own
// thread, one at a time, waits for the handler, then carries out the writes it asked for on
// the association's thread. It outlives the server object, which detaches from it when
// destroyed.
class QueuedSink : public ImageSink, public std::enable_shared_from_this<QueuedSink>
{
public:
    explicit QueuedSink(DicomServer *server) : server_(server) {}

    void setOn(bool on) { on_ = on; }
    bool on() const { return on_; }
    void setWriteFailureHandler(std::function<void()> handler);
    void detach();

    bool deliver(const Connection &connection, std::unique_ptr<ImageData> image,
                 const std::function<bool()> &abandon) override;

private:
    std::function<void()> writeFailureHandler();

    std::mutex mutex_;
    DicomServer *server_;
    std::function<void()> onWriteFailure_;
    std::atomic<bool> on_{false};
    std::atomic<bool> detached_{false};
};

} // namespace dicom::detail
