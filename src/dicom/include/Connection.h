#pragma once

#include <QString>
#include <QtGlobal>

namespace dicom {

// Who sent an image.
struct Connection
{
    QString callingAETitle;
    QString calledAETitle;
    QString peerAddress;
};

// One association, once it is over: who it was, what became of its images, how it ended.
struct AssociationEnd
{
    enum class How
    {
        Released,         // the peer released it
        PeerAborted,      // the peer aborted it or closed the connection
        Rejected,         // its request was rejected
        Deadline,         // ended by us: silent or slow too long
        HostileBytes,     // ended by us: bytes DCMTK must not parse
        ProtocolError,    // ended by us: a message out of place, a service not offered
        SwitchedOff,      // ended by us: the listener was stopped
    };
    Connection connection;
    quint64 stored = 0;   // images answered as stored
    quint64 refused = 0;  // images answered with a failure status
    quint64 streamed = 0; // of the stored: only the front parsed, the rest kept as it came
    How how = How::ProtocolError;
};

} // namespace dicom
