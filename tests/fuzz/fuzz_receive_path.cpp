// libFuzzer target over what the receiver does with the bytes of a received data set: the
// wire's nesting guard, parsing in the negotiated transfer syntax, stamping the institution
// name (with a character-set change), taking the name and serialising the file.
// The first input byte picks the transfer syntax; the rest is the data set.
#include "ImageSources.h"
#include "Error_Handler.h"

#include <QByteArray>
#include <QDir>
#include <cstdint>
#include <unistd.h>

namespace {
const char *const kSyntaxes[] = {
    "1.2.840.10008.1.2",       // implicit VR little endian
    "1.2.840.10008.1.2.1",     // explicit VR little endian
    "1.2.840.10008.1.2.2",     // explicit VR big endian
    "1.2.840.10008.1.2.1.99",  // deflated explicit VR little endian
    "1.2.840.10008.1.2.5",     // RLE lossless (encapsulated pixel data)
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // tmpfs where there is one: the write path's flushes cost nothing there.
    static const QString folder = [] {
        const QString base = QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString dir = base + QStringLiteral("/fuzz-receive-path-%1").arg(::getpid());
        QDir().mkpath(dir);
        return dir;
    }();
    const QString syntax = QString::fromLatin1(kSyntaxes[data[0] % std::size(kSyntaxes)]);
    try {
        auto image = dicom::detail::parseReceivedDataSet(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)), syntax);
        image->attributes().setAttribute(0x0008, 0x0080, size % 2 ? QStringLiteral("Klinikum Süd") : QStringLiteral("東京病院"));
        const QString name = image->nameValue();
        image->write(folder + QStringLiteral("/") + (name.isEmpty() ? QStringLiteral("empty") : QStringLiteral("named"))
                         + QStringLiteral(".dcm"),
                     true);
    } catch (const AppError &) {
        // Refusing bad input is the expected outcome.
    }
    return 0;
}
