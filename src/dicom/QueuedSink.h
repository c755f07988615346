#pragma once

#include "Image.h"
#include "ImageSink.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace dicom::detail {

// Hands each received image to a handler on the thread of its context object (the server
// object), one at a time, waits for the handler, then carries out the writes it asked for on
// the association's thread. It outlives the server object, which detaches from it when
// destroyed.
class QueuedSink : public ImageSink, public std::enable_shared_from_this<QueuedSink>
{
public:
    using Handler = std::function<void(const Connection &, Image &)>;

    QueuedSink(QObject *context, Handler handler) : context_(context), handler_(std::move(handler)) {}

    void setOn(bool on) { on_ = on; }
    bool on() const { return on_; }
    void setWriteFailureHandler(std::function<void(std::exception_ptr)> handler);
    void detach();

    Delivery deliver(const Connection &connection, std::unique_ptr<ImageData> image,
                 const std::function<bool()> &abandon) override;
    bool handsOver() const override { return true; }
    std::unique_ptr<ImageDelivery> handOver(const Connection &connection, std::unique_ptr<ImageData> image,
                                            const std::function<bool()> &abandon) override;
    void reportLoss(std::exception_ptr reason) override;
    void setAssociationEndedHandler(std::function<void(const AssociationEnd &)> handler);
    void associationEnded(const AssociationEnd &end) override;

private:
    std::function<void(std::exception_ptr)> writeFailureHandler();

    std::mutex mutex_;
    QObject *context_;
    const Handler handler_;
    std::function<void(std::exception_ptr)> onWriteFailure_;
    std::function<void(const AssociationEnd &)> onAssociationEnded_;
    std::atomic<bool> on_{false};
    std::atomic<bool> detached_{false};
};

} // namespace dicom::detail
