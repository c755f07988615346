// libFuzzer target over what the receiver does with the bytes of a data set: parse, stamp the
// institution name (with a character-set change), take the name, serialise to a file.
#include "DicomServer.h"
#include "Error_Handler.h"

#include <QByteArray>
#include <QDir>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // tmpfs where there is one: the write path's flushes cost nothing there.
    static const QString folder = [] {
        const QString base = QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString dir = base + QStringLiteral("/fuzz-receive-path-%1").arg(::getpid());
        QDir().mkpath(dir);
        return dir;
    }();
    try {
        auto image = dicom::Image::fromBytes(QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)));
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
