#include "QueuedSink.h"

#include "ImageAccess.h"

#include <QMetaObject>
#include <chrono>
#include <condition_variable>

namespace dicom::detail {

namespace {

struct Delivery
{
    // Done: the handler ran to its end. Cancelled: it never ran, or it failed.
    enum class State { Pending, Running, Done, Cancelled };
    std::mutex mutex;
    std::condition_variable done;
    State state = State::Pending;
};

} // namespace

void QueuedSink::setWriteFailureHandler(std::function<void()> handler)
{
    const std::lock_guard lock(mutex_);
    onWriteFailure_ = std::move(handler);
}

std::function<void()> QueuedSink::writeFailureHandler()
{
    const std::lock_guard lock(mutex_);
    return onWriteFailure_;
}

void QueuedSink::detach()
{
    const std::lock_guard lock(mutex_);
    detached_ = true;
}

bool QueuedSink::deliver(const Connection &connection, std::unique_ptr<ImageData> data,
                         const std::function<bool()> &abandon)
{
    DeferredWrites writes;
    const std::unique_ptr<Image> received = ImageAccess::make(std::move(data), writes);
    Image &image = *received;
    auto delivery = std::make_shared<Delivery>();
    {
        const std::lock_guard lock(mutex_);
        if (detached_ || !on_)
            return false;
        // Queued to the server object's thread; Qt drops the call if the object is deleted
        // first, and the wait below then notices the detach.
        QMetaObject::invokeMethod(
            context_,
            [self = shared_from_this(), delivery, &connection, &image] {
                {
                    const std::lock_guard l(delivery->mutex);
                    if (delivery->state != Delivery::State::Pending)
                        return;
                    delivery->state = Delivery::State::Running;
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
                const std::lock_guard l(delivery->mutex);
                delivery->state = handled ? Delivery::State::Done : Delivery::State::Cancelled;
                delivery->done.notify_all();
            },
            Qt::QueuedConnection);
    }

    {
        std::unique_lock lock(delivery->mutex);
        while (delivery->state == Delivery::State::Pending || delivery->state == Delivery::State::Running) {
            delivery->done.wait_for(lock, std::chrono::milliseconds(100));
            if (delivery->state == Delivery::State::Pending && (detached_ || !on_ || abandon()))
                delivery->state = Delivery::State::Cancelled;
        }
        if (delivery->state != Delivery::State::Done)
            return false;
    }
    return writes.carryOut(ImageAccess::data(image), writeFailureHandler());
}

} // namespace dicom::detail
