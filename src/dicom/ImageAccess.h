#pragma once

#include "Image.h"
#include "ImageData.h"
#include "ImageWriter.h"

#include <memory>

namespace dicom::detail {

// The one way into an Image from inside this library: build it around received or read
// data, with the write policy its owner chose, and reach its data again.
struct ImageAccess
{
    static std::unique_ptr<Image> make(std::unique_ptr<ImageData> data, ImageWriter &writer = writeNow())
    {
        return std::unique_ptr<Image>(new Image(std::move(data), writer));
    }
    static ImageData &data(Image &image) { return *image.data_; }
    static const ImageData &data(const Image &image) { return *image.data_; }
};

} // namespace dicom::detail
