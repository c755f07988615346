#include "ImageSources.h"

#include "Dcmtk.h"
#include "ImageAccess.h"
#include "NestingGuard.h"

#include <QFile>

namespace dicom::detail {

std::unique_ptr<Image> readImageFile(const QString &path, const QString &sourceAETitle)
{
    initializeDcmtk();
    auto data = std::make_unique<ImageData>();
    data->file = std::make_unique<DcmFileFormat>();
    check(data->file->loadFile(OFFilename(QFile::encodeName(path).constData())),
          QStringLiteral("Cannot read %1").arg(path));
    data->transferSyntax = data->dataset().getOriginalXfer();
    data->sourceAETitle = sourceAETitle.toStdString();
    return ImageAccess::make(std::move(data));
}

std::unique_ptr<Image> parseReceivedDataSet(const QByteArray &bytes, const QString &transferSyntaxUID)
{
    initializeDcmtk();
    const DcmXfer xfer(transferSyntaxUID.toLatin1().constData());
    if (xfer.getXfer() == EXS_Unknown)
        throw AppError(ErrorNumber::InvalidArgument, QStringLiteral("Unknown transfer syntax %1").arg(transferSyntaxUID));
    NestingGuard guard({xfer.isExplicitVR() != OFFalse, xfer.getByteOrder() == EBO_BigEndian,
                        xfer.getStreamCompression() != ESC_none});
    if (!guard.feed(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())))
        throw AppError(ErrorNumber::DicomFailure, QStringLiteral("The data set is nested too deep"));
    if (guard.oversize() || guard.endsInsideElement())
        throw AppError(ErrorNumber::DicomFailure, QStringLiteral("The data set is larger than it may be, or than it is"));

    auto data = std::make_unique<ImageData>();
    data->file = std::make_unique<DcmFileFormat>();
    DcmDataset &ds = data->dataset();
    check(readDataSet(bytes.constData(), size_t(bytes.size()), xfer.getXfer(), ds),
          QStringLiteral("Cannot parse the data set"));
    data->transferSyntax = xfer.getXfer();
    return ImageAccess::make(std::move(data));
}

} // namespace dicom::detail
