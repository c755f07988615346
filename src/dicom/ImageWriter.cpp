#include "ImageWriter.h"

#include "FileWriter.h"

namespace dicom::detail {

namespace {

void finishChanges(ImageData &image)
{
    while (!image.beforeWrite.empty()) {
        const auto change = std::move(image.beforeWrite.front());
        image.beforeWrite.erase(image.beforeWrite.begin());
        try {
            change(image.dataset());
        } catch (...) {
            // A data set left half-changed is never written: every later write fails alike.
            image.beforeWrite.assign(1, [failure = std::current_exception()](DcmDataset &) {
                std::rethrow_exception(failure);
            });
            throw;
        }
    }
}

} // namespace

void writeImageFile(ImageData &image, const std::string &path, bool replace)
{
    finishChanges(image);
    prepareMetaHeader(*image.file, image.transferSyntax, image.sourceAETitle);
    writeFileAtomically(*image.file, image.transferSyntax, path, replace);
}

namespace {

class WriteNow final : public ImageWriter
{
public:
    void write(ImageData &image, const std::string &path, bool replace) override
    {
        writeImageFile(image, path, replace);
    }
};

} // namespace

ImageWriter &writeNow()
{
    static WriteNow writer;
    return writer;
}

} // namespace dicom::detail
