#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace dicom {
class DicomServer;
class Image;
struct AssociationEnd;
struct Connection;
} // namespace dicom

// Reception without a window: the settings of Settings.ini in the configuration folder, read
// at start and again on SIGHUP, the same handler as the window's, failures to the log (and
// standard error), one line per association to standard error.
class Service : public QObject
{
    Q_OBJECT

public:
    explicit Service(const QString &configFolder, QObject *parent = nullptr);
    ~Service() override;

    // Reads the settings and listens. False, with a line in the log, when it cannot.
    bool start();
    // Reads the settings again and switches to them; when the new port cannot be opened,
    // everything stays as it was and the log says why.
    void reload();
    // Stops accepting, waits (bounded) for the associations in flight to be answered, ends
    // reception and quits the event loop with 0.
    void stop();

private:
    struct Settings
    {
        qint32 port = 0;
        QString folder;
        QString institutionName;
    };

    void ImageReceived(const dicom::Connection &Connection, dicom::Image &Image);
    Settings readSettings() const;  // throws AppError
    void finishStop();

    const QString settingsFile_;
    std::unique_ptr<dicom::DicomServer> server_;
    Settings current_;
    bool stopping_ = false;
    int drainTicks_ = 0;
};

// The line standard error gets when an association is over.
QString describeAssociationEnd(const dicom::AssociationEnd &end);
