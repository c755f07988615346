#include "DicomServer.h"

#include "AssociationThreads.h"
#include "Dcmtk.h"
#include "ListenerRegistry.h"
#include "QueuedSink.h"

#include <dcmtk/dcmdata/dcdict.h>

namespace dicom {

DicomServer::DicomServer(QObject *parent) : QObject(parent)
{
    detail::initializeDcmtk();
    if (!dcmDataDict.isDictionaryLoaded())
        throw AppError(ErrorNumber::DicomFailure,
                       QStringLiteral("The DICOM data dictionary is not loaded (DCMDICTPATH or "
                                      "/usr/share/libdcmtk17/dicom.dic)"));
    sink_ = std::make_shared<detail::QueuedSink>(
        this, [this](const Connection &connection, Image &image) { emit ImageReceivedAsync(connection, image); });
}

DicomServer::~DicomServer()
{
    sink_->detach();
}

void DicomServer::setWriteFailureHandler(std::function<void(std::exception_ptr)> handler)
{
    sink_->setWriteFailureHandler(std::move(handler));
}

void DicomServer::setAssociationEndedHandler(std::function<void(const AssociationEnd &)> handler)
{
    sink_->setAssociationEndedHandler(std::move(handler));
}

void DicomServer::setSwitch(bool on)
{
    sink_->setOn(on);
}

bool DicomServer::switchOn() const
{
    return sink_->on();
}

void DicomServer::startListening(qint32 port)
{
    detail::startListener(port, sink_);
}

void DicomServer::stopListening(qint32 port)
{
    detail::stopListener(port);
}

size_t associationsInProgress()
{
    return detail::associationThreads::running();
}

void shutdownReception()
{
    detail::shutdownAll();
}

} // namespace dicom
