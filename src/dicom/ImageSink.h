#pragma once

#include "Connection.h"
#include "ImageData.h"

#include <functional>
#include <memory>

namespace dicom::detail {

// Where received images go.
class ImageSink
{
public:
    virtual ~ImageSink() = default;

    // From an association's thread: hands the image on and returns once it was stored (true)
    // or refused (false). While nobody has started on the image yet, `abandon` may say that
    // the association is being stopped; the image is refused then.
    virtual bool deliver(const Connection &connection, std::unique_ptr<ImageData> image,
                         const std::function<bool()> &abandon) = 0;
};

} // namespace dicom::detail
