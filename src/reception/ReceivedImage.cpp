#include "ReceivedImage.h"

#include "AppError.h"
#include "Error_Handler.h"
#include "Image.h"

namespace ReceivedImage {

const QString kProcedure = QStringLiteral("DCMServer_ImageReceivedAsync");

void Store(dicom::Image &Image, const QString &institutionName, const QString &folder) noexcept
{
    try {
        Image.attributes().setAttribute(0x0008, 0x0080, institutionName);
        // An empty folder would put the images at the top of the file system.
        if (folder.isEmpty())
            throw AppError(ErrorNumber::FileAccess, QStringLiteral("No folder is set for the received images"));
        const QString path = folder + QLatin1Char('/') + Image.nameValue() + QStringLiteral(".dcm");
        Image.write(path, true);
    } catch (...) {
        Error_Handler::LogError(kProcedure);
    }
}

void LogFailure(std::exception_ptr failure) noexcept
{
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        Error_Handler::LogError(kProcedure);
    }
}

} // namespace ReceivedImage
