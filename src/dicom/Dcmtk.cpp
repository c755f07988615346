#include "Dcmtk.h"

#include "Limits.h"

#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcobject.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/oflog/oflog.h>

#include <csignal>
#include <mutex>

namespace dicom::detail {

namespace {
std::once_flag once;
} // namespace

void initializeDcmtk()
{
    std::call_once(once, [] {
        // A peer that goes away while we answer must end that association, not the program.
        std::signal(SIGPIPE, SIG_IGN);
        // A file-size limit must fail that one write (EFBIG), not end the program.
        std::signal(SIGXFSZ, SIG_IGN);
        // DCMTK reads a PDU's body without a deadline of its own: the socket's bounds a peer
        // that falls silent in the middle of one, as the message deadline does between them.
        dcmSocketReceiveTimeout.set(kDimseSeconds);
        dcmSocketSendTimeout.set(kDimseSeconds);
        // Values stay as the sender wrote them: DCMTK would otherwise drop every blank from a
        // UID as it reads or writes it, so that "1.2 3" became "1.23", another image's UID,
        // in the command, the data set and the stored file alike.
        dcmEnableAutomaticInputDataCorrection.set(OFFalse);
        // Reverse DNS per association only costs time.
        dcmDisableGethostbyaddr.set(OFTrue);
        // Peers' protocol slips and our own meta header choices are not the operator's
        // business; real failures reach the error log through the handler.
        OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    });
}

void throwCondition(const OFCondition &cond, const QString &what)
{
    const quint32 code = 0x80000000u | (quint32(cond.module() & 0x7FFF) << 16) | quint32(cond.code());
    throw AppError(static_cast<qint32>(code), what + QStringLiteral(": ") + QString::fromLocal8Bit(cond.text()));
}

OFCondition readDataSet(const void *bytes, size_t size, E_TransferSyntax xfer, DcmDataset &dataset)
{
    DcmInputBufferStream in;
    in.setBuffer(bytes, offile_off_t(size));
    in.setEos();
    dataset.transferInit();
    const OFCondition cond = dataset.read(in, xfer);
    dataset.transferEnd();
    return cond;
}

} // namespace dicom::detail
