#pragma once

#include "ImageSink.h"

#include <QtGlobal>
#include <memory>

// The listeners of the process, one per port, whichever server object started them.
namespace dicom::detail {

// Binds `port` and starts accepting associations whose images go to `sink`. When this process
// already listens on the port, the listener's images go to `sink` from now on. Throws AppError.
void startListener(qint32 port, std::shared_ptr<ImageSink> sink);
// Closes the port; its associations end on their own. Nothing happens for a port nobody
// listens on.
void stopListener(qint32 port);
// Ends every listener and association and waits for their threads.
void shutdownAll();

} // namespace dicom::detail
