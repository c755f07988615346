#pragma once

#include "Connection.h"
#include "ImageData.h"
#include "ImageDelivery.h"

#include <exception>
#include <functional>
#include <memory>

namespace dicom::detail {

// What became of a delivered image.
enum class Delivery
{
    Stored,
    Refused,     // not stored this time: no disk, no folder, switched off, stopping
    Unstorable,  // never storable as it is (e.g. its name is no file name)
};

// Where received images go.
class ImageSink
{
public:
    virtual ~ImageSink() = default;

    // From an association's thread: hands the image on and returns once it was stored or
    // refused. While nobody has started on the image yet, `abandon` may say that the
    // association is being stopped; the image is refused then.
    virtual Delivery deliver(const Connection &connection, std::unique_ptr<ImageData> image,
                         const std::function<bool()> &abandon) = 0;

    // Whether handOver() runs the handler; a sink that only takes whole images says no.
    virtual bool handsOver() const { return false; }
    // From an association's thread: runs the handler on the image and returns what it made of
    // it, with the writes not yet carried out; null when the image was refused before the
    // handler was done with it. `abandon` as for deliver(). The image may hold the front of
    // its data set only (ImageData::frontOnly).
    virtual std::unique_ptr<ImageDelivery> handOver(const Connection &, std::unique_ptr<ImageData>,
                                                    const std::function<bool()> &)
    {
        return nullptr;
    }

    // From an association's thread: an image arrived but could not be kept until `deliver`
    // (no room to spool it); the sender is refused, the reason goes here.
    virtual void reportLoss(std::exception_ptr) {}

    // From an association's thread, once the association is over.
    virtual void associationEnded(const AssociationEnd &) {}
};

} // namespace dicom::detail
