#pragma once

#include "Connection.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// The DICOM side of the program: a storage receiver and the image it hands over. Every
// operation reports failure by throwing AppError (AppError.h).
namespace dicom {

namespace detail {
struct ImageData;
struct ImageAccess;
class ImageWriter;
class QueuedSink;
} // namespace detail

class AttributeCollection
{
public:
    // Stores `value` in (group, element), replacing an earlier value or adding the attribute.
    // Text is encoded in the data set's character set (see TextEncoding.cpp for the rules).
    void setAttribute(qint32 group, qint32 element, const QString &value);

private:
    friend class Image;
    explicit AttributeCollection(detail::ImageData &data) : data_(data) {}
    detail::ImageData &data_;
};

// One received data set, with the transfer syntax it arrived in.
class Image
{
public:
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    AttributeCollection attributes();

    // The name to store the image under: its SOP Instance UID without padding. A value that
    // could leave the folder or is no file name at all (a separator, a control character) is
    // refused with an AppError.
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
    Image(std::unique_ptr<detail::ImageData> data, detail::ImageWriter &writer);

    std::unique_ptr<detail::ImageData> data_;
    detail::ImageWriter &writer_;
};

// A storage receiver (C-STORE of every storage class DCMTK knows, and C-ECHO). Listeners are
// kept per port for the whole process: a listener started by one server object is ended by
// stopListening on another. Each received image is handed to ImageReceivedAsync on the thread
// of the server object that started the listener; the sender is told the image was stored
// only when a handler wrote it.
class DicomServer : public QObject
{
    Q_OBJECT

public:
    // Throws AppError when DICOM cannot work in this process (no data dictionary).
    explicit DicomServer(QObject *parent = nullptr);
    ~DicomServer() override;

    // Called on a worker thread, inside the catch block, when an image that the handler asked
    // to write could not be written. Set it before listening starts.
    void setWriteFailureHandler(std::function<void()> handler);

    // While off, images that arrive are refused.
    void setSwitch(bool on);
    bool switchOn() const;

    // Binds the port at once; a port in use, outside 1-65535 or refused throws AppError.
    void startListening(qint32 port);
    // Ends the listener on the port, whichever server object started it; its associations
    // are ended, images not yet stored are refused. Returns at once.
    void stopListening(qint32 port);

signals:
    void ImageReceivedAsync(const dicom::Connection &Connection, dicom::Image &Image);

private:
    std::shared_ptr<detail::QueuedSink> sink_;
};

// Ends every listener and association of the process and waits for their threads. For the
// end of the program, from the thread that owns the server objects.
void shutdownReception();

} // namespace dicom
