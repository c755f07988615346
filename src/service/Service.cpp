#include "Service.h"

#include "AppError.h"
#include "DicomServer.h"
#include "Error_Handler.h"
#include "ReceivedImage.h"
#include "TextToNumber.h"
#include "modINI.h"

#include <QCoreApplication>
#include <QTimer>
#include <systemd/sd-daemon.h>

namespace {

const QString kSection = QStringLiteral("InstitutionName");
// How long a stop waits for images in flight to be answered: far more than storing takes.
constexpr int kDrainMilliseconds = 20000;
constexpr int kDrainTickMilliseconds = 50;

// AE titles and addresses come from the peer: nothing in them may start a line of its own.
QString printable(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            c = QLatin1Char('?');
    }
    return out;
}

QString howText(dicom::AssociationEnd::How how)
{
    using How = dicom::AssociationEnd::How;
    switch (how) {
    case How::Released: return QStringLiteral("released");
    case How::PeerAborted: return QStringLiteral("aborted or closed by the peer");
    case How::Rejected: return QStringLiteral("rejected");
    case How::Deadline: return QStringLiteral("ended by us: deadline");
    case How::HostileBytes: return QStringLiteral("ended by us: hostile bytes");
    case How::ProtocolError: return QStringLiteral("ended by us: protocol error");
    case How::SwitchedOff: return QStringLiteral("ended by us: switched off");
    }
    return QStringLiteral("ended");
}

} // namespace

QString describeAssociationEnd(const dicom::AssociationEnd &end)
{
    return QStringLiteral("association from %1, calling \"%2\", called \"%3\": %4 stored, %5 refused, %6")
        .arg(printable(end.connection.peerAddress), printable(end.connection.callingAETitle),
             printable(end.connection.calledAETitle))
        .arg(end.stored)
        .arg(end.refused)
        .arg(howText(end.how));
}

Service::Service(const QString &configFolder, QObject *parent)
    : QObject(parent), settingsFile_(configFolder + QStringLiteral("/Settings.ini"))
{
}

Service::~Service() = default;

Service::Settings Service::readSettings() const
{
    Settings s;
    s.port = textToInt32(modINI::ReadINI(kSection, QStringLiteral("Port"), QString(), settingsFile_, 256));
    s.folder = modINI::ReadINI(kSection, QStringLiteral("Folder"), QString(), settingsFile_, 256);
    s.institutionName = modINI::ReadINI(kSection, QStringLiteral("InstitutionName"), QString(), settingsFile_, 256);
    return s;
}

void Service::ImageReceived(const dicom::Connection &Connection, dicom::Image &Image)
{
    Q_UNUSED(Connection);
    ReceivedImage::Store(Image, current_.institutionName, current_.folder);
}

bool Service::start()
{
    try {
        current_ = readSettings();
        auto server = std::make_unique<dicom::DicomServer>();
        connect(server.get(), &dicom::DicomServer::ImageReceivedAsync, this, &Service::ImageReceived);
        server->setWriteFailureHandler(ReceivedImage::LogFailure);
        server->setAssociationEndedHandler(
            [](const dicom::AssociationEnd &end) { Error_Handler::ToStandardError(describeAssociationEnd(end)); });
        server->setSwitch(true);
        server_ = std::move(server);
        server_->startListening(current_.port);
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("Service_Start"));
        return false;
    }
    Error_Handler::ToStandardError(QStringLiteral("listening on port %1").arg(current_.port));
    sd_notifyf(0, "READY=1\nSTATUS=Listening on port %d", int(current_.port));
    return true;
}

void Service::reload()
{
    if (stopping_ || !server_)
        return;
    sd_notify(0, "RELOADING=1");
    try {
        const Settings next = readSettings();
        if (next.port != current_.port) {
            // The new port first: if it cannot be opened, the old one goes on serving.
            server_->startListening(next.port);
            server_->stopListening(current_.port);
        }
        current_ = next;
        Error_Handler::ToStandardError(QStringLiteral("settings read again; listening on port %1").arg(current_.port));
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("Service_Reload"));
    }
    sd_notifyf(0, "READY=1\nSTATUS=Listening on port %d", int(current_.port));
}

void Service::stop()
{
    if (stopping_)
        return;
    stopping_ = true;
    sd_notify(0, "STOPPING=1");
    // No new association; those in flight stop reading, and an image being stored still gets
    // its answer, which needs this thread's event loop to go on running.
    if (server_)
        server_->stopListening(current_.port);
    finishStop();
}

void Service::finishStop()
{
    if (dicom::associationsInProgress() > 0 && ++drainTicks_ * kDrainTickMilliseconds < kDrainMilliseconds) {
        QTimer::singleShot(kDrainTickMilliseconds, this, &Service::finishStop);
        return;
    }
    dicom::shutdownReception();
    QCoreApplication::exit(0);
}
