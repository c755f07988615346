#pragma once

#include "ImageData.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace dicom::detail {

// How Image::write() is carried out, and who hears that the image can never be stored. Its
// owner picks one when it builds the image.
class ImageWriter
{
public:
    virtual ~ImageWriter() = default;
    virtual void write(ImageData &image, const std::string &path, bool replace) = 0;
    // Whether the writes happen after the handler returned, on another thread.
    virtual bool writesLater() const { return false; }
    // Something about the image itself (its name, a text its character set keeps out) can
    // never be stored, however often the sender tries.
    virtual void refuseForGood() {}
};

// Writes at once; a failure throws to the caller of Image::write().
ImageWriter &writeNow();

using WriteFailureHandler = std::function<void(std::exception_ptr)>;

// Makes the changes that waited for the write, then writes the image's file as
// writeFileAtomically does. Throws AppError.
void writeImageFile(ImageData &image, const std::string &path, bool replace);

} // namespace dicom::detail
