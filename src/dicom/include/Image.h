#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

// A received image as the handler sees it. Every operation reports failure by throwing
// AppError (AppError.h).
namespace dicom {

namespace detail {
struct ImageData;
struct ImageAccess;
class ImageWriter;
} // namespace detail

class Image;

class AttributeCollection
{
public:
    // Stores `value` in (group, element), replacing an earlier value or adding the attribute.
    // Text is encoded in the data set's character set (see TextEncoding.cpp for the rules).
    void setAttribute(qint32 group, qint32 element, const QString &value);

private:
    friend class Image;
    explicit AttributeCollection(Image &image) : image_(image) {}
    Image &image_;
};

// One received data set, with the transfer syntax it arrived in.
class Image
{
public:
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    AttributeCollection attributes();

    // The name to store the image under: its SOP Instance UID as sent, without padding. A
    // value that is no UID (anything but digits and dots, at most 64, not starting with a dot)
    // could leave the folder, hide the file or take another image's name: it is refused with
    // an AppError, for good.
    QString nameValue() const;

    // Stores the image as a DICOM file at `path`: written to a temporary file beside it,
    // flushed to disk and renamed, so that `path` never holds a partial file. `replace`
    // allows an existing file to be replaced. For an image received by a DicomServer the
    // write happens once the handler has returned, on the association's own thread (so that
    // images of several senders reach the disk in parallel); its failure goes to the
    // server's write-failure handler, and the sender is told.
    void write(const QString &path, bool replace);

private:
    friend struct detail::ImageAccess;
    friend class AttributeCollection;
    Image(std::unique_ptr<detail::ImageData> data, detail::ImageWriter &writer);

    std::unique_ptr<detail::ImageData> data_;
    detail::ImageWriter &writer_;
};

} // namespace dicom
