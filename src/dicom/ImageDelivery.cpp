#include "ImageDelivery.h"

#include "Dcmtk.h"
#include "FileWriter.h"
#include "ImageAccess.h"
#include "Limits.h"

#include <algorithm>

namespace dicom::detail {

ImageDelivery::ImageDelivery(std::unique_ptr<ImageData> data) : image_(ImageAccess::make(std::move(data), *this)) {}

ImageDelivery::~ImageDelivery() = default;

ImageData &ImageDelivery::data()
{
    return ImageAccess::data(*image_);
}

void ImageDelivery::write(ImageData &, const std::string &path, bool replace)
{
    requests_.push_back({path, replace, nullptr, nullptr, nullptr, 0});
}

bool ImageDelivery::streamable() const
{
    const ImageData &d = ImageAccess::data(*image_);
    return d.frontOnly && d.beforeWrite.empty();
}

bool ImageDelivery::carryOut(const WriteFailureHandler &onFailure)
{
    bool allWritten = !requests_.empty();
    for (const Request &request : requests_) {
        try {
            writeImageFile(data(), request.path, request.replace);
        } catch (...) {
            allWritten = false;
            if (onFailure)
                onFailure(std::current_exception());
        }
    }
    requests_.clear();
    return allWritten;
}

void ImageDelivery::startFiles()
{
    ImageData &d = data();
    for (Request &request : requests_) {
        try {
            prepareMetaHeader(*d.file, d.transferSyntax, d.sourceAETitle);
            request.file = std::make_unique<ImageFile>(*d.file, d.transferSyntax, request.path, request.replace);
        } catch (...) {
            request.failure = std::current_exception();
        }
    }
}

void ImageDelivery::append(const char *p, size_t size)
{
    for (Request &request : requests_) {
        if (!request.file)
            continue;
        try {
            // Held on disk until the rest has come, as a spool file holds it: within the same
            // limits, once it is more than a data set kept in memory would be.
            request.written += size;
            if (request.written > kMaxDataSetInMemory) {
                if (!request.disk)
                    request.disk = std::make_unique<DiskShare>();
                request.disk->cover(request.file->fd(), request.written);
            }
            request.file->append(p, size);
        } catch (...) {
            // The rest of this file is lost; the temporary file goes at once.
            request.drop(std::current_exception());
        }
    }
}

bool ImageDelivery::finish(const WriteFailureHandler &onFailure)
{
    bool allWritten = !requests_.empty();
    for (Request &request : requests_) {
        if (request.file) {
            try {
                request.file->commit();
                request.drop(nullptr);
            } catch (...) {
                request.drop(std::current_exception());
            }
        }
        if (request.failure) {
            allWritten = false;
            if (onFailure)
                onFailure(request.failure);
        }
    }
    requests_.clear();
    return allWritten;
}

void ImageDelivery::replaceDataSet(ImageData &&whole)
{
    ImageData &d = data();
    for (Request &request : requests_)
        request.drop(nullptr);
    d.spool = std::move(whole.spool);
    d.memory.add(std::move(whole.memory));
    takeWhole(std::move(whole.file));
}

ImageDelivery::ReadBack ImageDelivery::readBack(uint32_t readLength)
{
    for (Request &request : requests_) {
        if (!request.file)
            continue;
        try {
            request.file->flush();
        } catch (...) {
            // Reported with the other failures when the files are finished.
            request.drop(std::current_exception());
            continue;
        }
        auto whole = std::make_unique<DcmFileFormat>();
        if (whole->loadFile(OFFilename(request.file->temporaryPath().c_str()), EXS_Unknown, EGL_noChange, readLength)
                .bad())
            return {nullptr, true};
        return {std::move(whole), false};
    }
    return {nullptr, false};
}

void ImageDelivery::rewriteFrom(std::unique_ptr<DcmFileFormat> whole)
{
    for (Request &request : requests_) {
        if (request.file)
            sources_.push_back(std::move(request.file));
    }
    takeWhole(std::move(whole));
}

void ImageDelivery::takeWhole(std::unique_ptr<DcmFileFormat> whole)
{
    ImageData &d = data();
    d.file = std::move(whole);
    d.frontOnly = false;
    d.beforeWrite = std::move(d.replay);
    d.replay.clear();
}

void ImageDelivery::Request::drop(std::exception_ptr why)
{
    if (why)
        failure = std::move(why);
    file.reset();
    disk.reset();
}

} // namespace dicom::detail
