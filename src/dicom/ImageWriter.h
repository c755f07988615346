#pragma once

#include "ImageData.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace dicom::detail {

// How Image::write() is carried out. Its owner picks one when it builds the image.
class ImageWriter
{
public:
    virtual ~ImageWriter() = default;
    virtual void write(ImageData &image, const std::string &path, bool replace) = 0;
    // Whether the writes happen after the handler returned, on another thread.
    virtual bool writesLater() const { return false; }
};

// Writes at once; a failure throws to the caller of Image::write().
ImageWriter &writeNow();

// Collects the writes a handler asks for, so that its delivery carries them out after the
// handler has returned, on the delivering thread: several images reach the disk at once.
class DeferredWrites final : public ImageWriter
{
public:
    void write(ImageData &image, const std::string &path, bool replace) override;
    bool writesLater() const override { return true; }

    // Performs the collected writes; each that fails is handed to `onFailure`. True when there
    // was a write and every write succeeded.
    bool carryOut(ImageData &image, const std::function<void(std::exception_ptr)> &onFailure);

private:
    struct Request
    {
        std::string path;
        bool replace;
    };
    std::vector<Request> requests_;
};

} // namespace dicom::detail
