#pragma once

#include "Connection.h"
#include "Image.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// The DICOM side of the program: a storage receiver and the image it hands over (Image.h).
// Every operation reports failure by throwing AppError (AppError.h).
namespace dicom {

namespace detail {
class QueuedSink;
} // namespace detail

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

    // Called on a worker thread with the failure when an image that the handler asked to
    // write could not be written, or was lost on its way in. Set it before listening starts.
    void setWriteFailureHandler(std::function<void(std::exception_ptr)> handler);

    // Called on the association's thread when an association of a listener this object
    // started is over. Set it before listening starts.
    void setAssociationEndedHandler(std::function<void(const AssociationEnd &)> handler);

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

// Associations of the process not yet over, whichever listener accepted them: a program that
// stops its listeners can wait for their last answers before shutdownReception.
size_t associationsInProgress();

// Ends every listener and association of the process and waits for their threads. For the
// end of the program, from the thread that owns the server objects.
void shutdownReception();

} // namespace dicom
