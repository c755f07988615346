#pragma once

#include "Image.h"

#include <QByteArray>
#include <QString>
#include <memory>

// Images that do not come over the network, for tests and fuzzing; their write() writes at
// once and throws on failure.
namespace dicom::detail {

// An image read from a DICOM file (Part 10 or a bare data set).
std::unique_ptr<Image> readImageFile(const QString &path, const QString &sourceAETitle = QString());

// A data set as it arrives over the network in the transfer syntax `transferSyntaxUID`,
// passing the same guard as received data sets before it is parsed: refused when nested too
// deep, inflating past the limit, or with a value claiming more bytes than there are.
std::unique_ptr<Image> parseReceivedDataSet(const QByteArray &bytes, const QString &transferSyntaxUID);

} // namespace dicom::detail
