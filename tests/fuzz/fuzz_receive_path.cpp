// libFuzzer target over what the receiver does with the bytes of a received data set or
// command: the wire's nesting guard, parsing in the negotiated transfer syntax (commands in
// implicit VR little endian), stamping the institution name (with a character-set change),
// taking the name and serialising the file.
// The first input byte picks the transfer syntax or a command; the rest is the data set.
// Differential check: whatever the guard lets through, DCMTK's parse of it never nests
// deeper than the guard allows; a breach aborts (a finding).
#include "Error_Handler.h"
#include "ImageSources.h"
#include "NestingGuard.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QByteArray>
#include <QDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char *const kSyntaxes[] = {
    "1.2.840.10008.1.2",       // implicit VR little endian
    "1.2.840.10008.1.2.1",     // explicit VR little endian
    "1.2.840.10008.1.2.2",     // explicit VR big endian
    "1.2.840.10008.1.2.1.99",  // deflated explicit VR little endian
    "1.2.840.10008.1.2.5",     // RLE lossless (encapsulated pixel data)
    nullptr,                   // a command set
};

// Sequences and items open at once in the deepest place of `item`, as the guard counts them.
size_t depth(DcmItem &item)
{
    size_t deepest = 0;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement *element = item.getElement(i);
        if (element->ident() != EVR_SQ)
            continue;
        auto *sequence = static_cast<DcmSequenceOfItems *>(element);
        size_t inner = 0;
        for (unsigned long j = 0; j < sequence->card(); ++j)
            inner = std::max(inner, 1 + depth(*sequence->getItem(j)));
        deepest = std::max(deepest, 1 + inner);
    }
    return deepest;
}

void checkAgainstDcmtk(const QByteArray &bytes, const char *syntax)
{
    const DcmXfer xfer(syntax ? syntax : UID_LittleEndianImplicitTransferSyntax);
    dicom::detail::NestingGuard guard({xfer.isExplicitVR() != OFFalse, xfer.getByteOrder() == EBO_BigEndian,
                                       xfer.getStreamCompression() != ESC_none});
    // What the receiver refuses before DCMTK parses it: too deep, too large inflated, or a
    // value claiming more bytes than there are.
    if (!guard.feed(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())) || guard.oversize()
        || guard.endsInsideElement())
        return;
    DcmDataset ds;
    DcmInputBufferStream in;
    in.setBuffer(bytes.constData(), offile_off_t(bytes.size()));
    in.setEos();
    ds.transferInit();
    ds.read(in, xfer.getXfer());
    ds.transferEnd();
    const size_t reached = depth(ds);
    if (reached > dicom::detail::NestingGuard::kMaxOpen) {
        std::fprintf(stderr, "the guard let through a data set nested %zu deep\n", reached);
        std::abort();
    }
}

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
    const char *syntax = kSyntaxes[data[0] % std::size(kSyntaxes)];
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    checkAgainstDcmtk(bytes, syntax);
    if (!syntax)
        return 0;
    try {
        auto image = dicom::detail::parseReceivedDataSet(bytes, QString::fromLatin1(syntax));
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
