#include "QueuedSink.h"

#include "ImageAccess.h"
#include "Limits.h"

#include <QMetaObject>
#include <chrono>
#include <condition_variable>

namespace dicom::detail {

namespace {

struct Handoff
{
    // Done: the handler ran to its end. Cancelled: it never ran, or it failed.
    enum class State { Pending, Running, Done, Cancelled };
    std::mutex mutex;
    std::condition_variable done;
    State state = State::Pending;
};

} // namespace

void QueuedSink::setWriteFailureHandler(std::function<void(std::exception_ptr)> handler)
{
    const std::lock_guard lock(mutex_);
    onWriteFailure_ = std::move(handler);
}

std::function<void(std::exception_ptr)> QueuedSink::writeFailureHandler()
{
    const std::lock_guard lock(mutex_);
    return onWriteFailure_;
}

void QueuedSink::detach()
{
    const std::lock_guard lock(mutex_);
    detached_ = true;
}

void QueuedSink::setAssociationEndedHandler(std::function<void(const AssociationEnd &)> handler)
{
    const std::lock_guard lock(mutex_);
    onAssociationEnded_ = std::move(handler);
}

void QueuedSink::associationEnded(const AssociationEnd &end)
{
    std::function<void(const AssociationEnd &)> handler;
    {
        const std::lock_guard lock(mutex_);
        handler = onAssociationEnded_;
    }
    if (!handler)
        return;
    try {
        handler(end);
    } catch (...) {
        // A report that fails ends nothing.
    }
}

void QueuedSink::reportLoss(std::exception_ptr reason)
{
    // Lost on the way in is, to the operator, a failure to store like any other.
    const std::function<void(std::exception_ptr)> handler = writeFailureHandler();
    if (handler && reason)
        handler(reason);
}

Delivery QueuedSink::deliver(const Connection &connection, std::unique_ptr<ImageData> data,
                             const std::function<bool()> &abandon)
{
    const std::unique_ptr<ImageDelivery> delivery = handOver(connection, std::move(data), abandon);
    if (!delivery)
        return Delivery::Refused;
    // Unstorable: the handler met something no retry mends (its name), or a write did (a
    // text its character set keeps out).
    if (!delivery->unstorable() && delivery->carryOut(writeFailureHandler()))
        return Delivery::Stored;
    return delivery->unstorable() ? Delivery::Unstorable : Delivery::Refused;
}

std::unique_ptr<ImageDelivery> QueuedSink::handOver(const Connection &connection, std::unique_ptr<ImageData> data,
                                                    const std::function<bool()> &abandon)
{
    auto delivery = std::make_unique<ImageDelivery>(std::move(data));
    Image &image = delivery->image();
    auto handoff = std::make_shared<Handoff>();
    {
        const std::lock_guard lock(mutex_);
        if (detached_ || !on_)
            return nullptr;
        // Queued to the server object's thread; Qt drops the call if the object is deleted
        // first, and the wait below then notices the detach.
        QMetaObject::invokeMethod(
            context_,
            [self = shared_from_this(), handoff, &connection, &image] {
                {
                    const std::lock_guard l(handoff->mutex);
                    if (handoff->state != Handoff::State::Pending)
                        return;
                    handoff->state = Handoff::State::Running;
                }
                bool handled = false;
                if (!self->detached_ && self->on_) {
                    try {
                        self->handler_(connection, image);
                        handled = true;
                    } catch (...) {
                        // A handler's failure is a refused image, never the end of the program.
                    }
                }
                const std::lock_guard l(handoff->mutex);
                handoff->state = handled ? Handoff::State::Done : Handoff::State::Cancelled;
                handoff->done.notify_all();
            },
            Qt::QueuedConnection);
    }

    std::unique_lock lock(handoff->mutex);
    while (handoff->state == Handoff::State::Pending || handoff->state == Handoff::State::Running) {
        handoff->done.wait_for(lock, std::chrono::milliseconds(kHandlerWaitCheckMs));
        if (handoff->state == Handoff::State::Pending && (detached_ || !on_ || abandon()))
            handoff->state = Handoff::State::Cancelled;
    }
    if (handoff->state != Handoff::State::Done)
        return nullptr;
    return delivery;
}

} // namespace dicom::detail
