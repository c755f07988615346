#pragma once

#include <QString>

namespace dicom {

// Who sent an image.
struct Connection
{
    QString callingAETitle;
    QString calledAETitle;
    QString peerAddress;
};

} // namespace dicom
