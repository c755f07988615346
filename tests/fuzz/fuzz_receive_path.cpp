// libFuzzer target over what the receiver does with the bytes of a received data set or
// command: the wire's nesting guard, parsing in the negotiated transfer syntax (commands in
// implicit VR little endian), stamping the institution name (with a character-set change),
// taking the name and serialising the file.
// The first input byte picks the transfer syntax or a command, and the rest is the data set;
// or, with its high bit set, the rest is a stream of PDUs for the wire scanner, fed in
// chunks of a size the byte also picks.
// Differential checks: whatever the guard lets through, DCMTK's parse of it never nests
// deeper than the guard allows, and the front the receiver parses alone is the whole parse's
// front; a breach aborts (a finding).
#include "Error_Handler.h"
#include "FrontScanner.h"
#include "ImageSources.h"
#include "NestingGuard.h"
#include "WireScanner.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QByteArray>
#include <QDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
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

// Elements and items DCMTK made of `item`: each costs the memory the guard budgets per object.
uint64_t objects(DcmItem &item)
{
    uint64_t count = 0;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement *element = item.getElement(i);
        ++count;
        if (element->ident() != EVR_SQ)
            continue;
        auto *sequence = static_cast<DcmSequenceOfItems *>(element);
        for (unsigned long j = 0; j < sequence->card(); ++j)
            count += 1 + objects(*sequence->getItem(j));
    }
    return count;
}

// The front the receiver parses alone holds what DCMTK's parse of the whole data set holds up
// to (0008,0080), value for value: every byte after it is kept as it came.
void checkFront(const QByteArray &bytes, const DcmXfer &xfer, DcmDataset &whole)
{
    dicom::detail::FrontScanner scanner(xfer.isExplicitVR() != OFFalse, xfer.getByteOrder() == EBO_BigEndian);
    if (scanner.follow(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()))
        != dicom::detail::FrontScanner::State::Found)
        return;
    DcmDataset front;
    DcmInputBufferStream in;
    in.setBuffer(bytes.constData(), offile_off_t(scanner.frontEnd()));
    in.setEos();
    front.transferInit();
    const OFCondition cond = front.read(in, xfer.getXfer());
    front.transferEnd();
    if (cond.bad() || front.card() != scanner.elements())
        return;  // the receiver parses such a data set whole
    unsigned long inWhole = 0;
    while (inWhole < whole.card() && whole.getElement(inWhole)->getTag() <= DCM_InstitutionName)
        ++inWhole;
    bool same = inWhole == front.card();
    for (unsigned long i = 0; same && i < inWhole; ++i) {
        OFString a, b;
        front.getElement(i)->getOFStringArray(a);
        whole.getElement(i)->getOFStringArray(b);
        same = front.getElement(i)->getTag() == whole.getElement(i)->getTag() && a == b;
    }
    if (!same) {
        std::fprintf(stderr, "the front parsed alone differs from the whole data set's\n");
        std::abort();
    }
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
    const OFCondition parsed = ds.read(in, xfer.getXfer());
    ds.transferEnd();
    if (parsed.good() && syntax && xfer.getStreamCompression() == ESC_none && guard.shape().topLevelOrdered)
        checkFront(bytes, xfer, ds);
    const size_t reached = depth(ds);
    if (reached > dicom::detail::kMaxOpenNesting) {
        std::fprintf(stderr, "the guard let through a data set nested %zu deep\n", reached);
        std::abort();
    }
    // The parse's memory is budgeted from the guard's count: DCMTK must not make more.
    const uint64_t made = objects(ds);
    if (made > guard.shape().objects) {
        std::fprintf(stderr, "DCMTK made %llu objects where the guard counted %llu\n", (unsigned long long)made,
                     (unsigned long long)guard.shape().objects);
        std::abort();
    }
}

// P-DATA PDU bodies without their PDU headers; other PDUs whole. Null for a stream that does
// not end at a PDU's end.
std::optional<std::string> withoutPDataHeaders(const uint8_t *p, size_t n, bool onePdvEach)
{
    std::string out;
    for (size_t at = 0; at < n;) {
        if (n - at < 6)
            return std::nullopt;
        const uint32_t length = dicom::detail::bigEndian32(p + at + 2);
        if (n - at - 6 < length)
            return std::nullopt;
        const bool pdata = p[at] == 0x04;
        if (pdata && onePdvEach && (length < 4 || dicom::detail::bigEndian32(p + at + 6) + 4 != length)) {
            std::fprintf(stderr, "a P-DATA PDU handed on holds more or less than one PDV\n");
            std::abort();
        }
        out.append(reinterpret_cast<const char *>(p + at + (pdata ? 6 : 0)), length + (pdata ? 0 : 6));
        at += 6 + size_t(length);
    }
    return out;
}

// Differential check of the scanner: what it accepts whole reaches DCMTK as one PDV per
// P-DATA PDU, with every PDV and every other PDU unchanged.
void checkWire(const uint8_t *data, size_t size, size_t chunk)
{
    dicom::detail::WireScanner scanner;
    scanner.setEncoding(1, {true, false, false});
    scanner.setEncoding(3, {});
    scanner.setEncoding(5, {true, false, true});
    std::string out;
    for (size_t at = 0; at < size; at += chunk) {
        if (!scanner.feed(data + at, std::min(chunk, size - at), out))
            return;
    }
    const auto sent = withoutPDataHeaders(data, size, false);
    if (!sent)
        return;
    const auto handed = withoutPDataHeaders(reinterpret_cast<const uint8_t *>(out.data()), out.size(), true);
    if (handed != sent) {
        std::fprintf(stderr, "the scanner changed the bytes of a PDV or PDU\n");
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
    if (data[0] & 0x80) {
        checkWire(data + 1, size - 1, 1 + (data[0] & 0x7F));
        return 0;
    }
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
