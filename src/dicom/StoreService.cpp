#include "StoreService.h"

#include "GuardedConnection.h"
#include "Limits.h"
#include "Spool.h"
#include "TransferSyntaxes.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmnet/dul.h>

#include <chrono>
#include <cstring>

namespace dicom::detail {

namespace {

// The calling AE title as the file's Source AE Title, when it is one: at most 16 characters
// of printable ASCII without a backslash (which would split the value).
std::string sourceAETitle(const QString &calling)
{
    if (calling.isEmpty() || calling.size() > 16)
        return {};
    for (QChar c : calling) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == u'\\')
            return {};
    }
    return calling.toStdString();
}

} // namespace

bool StoreService::handle(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                          const Connection &connection)
{
    // A store without a data set, or one that arrives on another context than its command's,
    // is no C-STORE at all.
    if (req.DataSetType == DIMSE_DATASET_NULL)
        return false;
    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(assoc->params, presID, &pc).bad())
        return false;
    // The data set goes to memory or a spool file as it arrives, unparsed: DCMTK reserves
    // nothing a peer declares before the guard has seen all of it.
    SpoolConsumer spool;
    T_ASC_PresentationContextID dataPresID = presID;
    OFCondition cond;
    {
        SpoolStream stream(spool);
        cond = DIMSE_receiveDataSetInFile(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &dataPresID, &stream, nullptr,
                                          nullptr);
    }
    auto *guarded = dynamic_cast<GuardedConnection *>(DUL_getTransportConnection(assoc->DULassociation));
    if (!guarded)
        return false;
    // Taken whatever becomes of the data set, so that the next one gets its own.
    const GuardedConnection::DataSetSummary seen = guarded->takeDataSet();
    lastFailure_ = cond;
    if (cond.bad() || dataPresID != presID)
        return false;
    Uint16 status = STATUS_STORE_Refused_OutOfResources;
    if (spool.failure()) {
        // Received to its end, but not kept: no room to spool it.
        if (const std::shared_ptr<ImageSink> sink = sink_())
            sink->reportLoss(spool.failure());
    } else if (!seen.oversize) {
        // Too large to parse (refused, the sender may try again elsewhere), or a value that
        // claims more bytes than arrived: DCMTK would reserve them before finding out.
        if (seen.endsInsideElement)
            return false;
        std::unique_ptr<ImageData> image = parse(pc, spool, seen.size, status);
        if (image)
            status = deliverImage(pc, req, std::move(image), connection);
        else if (status == STATUS_Success)
            return false;  // no data set DCMTK can read
    }

    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.DimseStatus = status;
    rsp.MessageIDBeingRespondedTo = req.MessageID;
    rsp.DataSetType = DIMSE_DATASET_NULL;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, req.AffectedSOPClassUID, sizeof rsp.AffectedSOPClassUID);
    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, req.AffectedSOPInstanceUID, sizeof rsp.AffectedSOPInstanceUID);
    rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    ++(status == STATUS_Success ? stored_ : refused_);
    lastFailure_ = DIMSE_sendStoreResponse(assoc, presID, &req, &rsp, nullptr);
    return lastFailure_.good();
}

std::unique_ptr<ImageData> StoreService::parse(const T_ASC_PresentationContext &pc, SpoolConsumer &spool,
                                               uint64_t inflatedSize, Uint16 &status)
{
    status = STATUS_Success;
    auto image = std::make_unique<ImageData>();
    image->memory = std::move(spool.share());
    const E_TransferSyntax xfer = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    // A deflated data set can only be parsed whole: its inflated size comes out of the budget,
    // waiting a while for others to give theirs back.
    if (DcmXfer(xfer).getStreamCompression() != ESC_none) {
        const auto start = std::chrono::steady_clock::now();
        MemoryBudget::Share inflated = MemoryBudget::take(inflatedSize, [&] {
            return abandon_() || std::chrono::steady_clock::now() - start > std::chrono::seconds(kDimseSeconds);
        });
        if (inflated.bytes() < inflatedSize) {
            status = STATUS_STORE_Refused_OutOfResources;
            return nullptr;
        }
        image->memory.add(std::move(inflated));
    }
    auto dataset = std::make_unique<DcmDataset>();
    OFCondition cond;
    if (spool.file()) {
        cond = dataset->loadFile(OFFilename(spool.file()->path().c_str()), xfer, EGL_noChange, kMaxValueInMemory);
        image->spool = std::move(spool.file());
    } else {
        DcmInputBufferStream in;
        in.setBuffer(spool.memory().data(), offile_off_t(spool.memory().size()));
        in.setEos();
        dataset->transferInit();
        cond = dataset->read(in, xfer);
        dataset->transferEnd();
    }
    if (cond.bad())
        return nullptr;
    image->file = std::make_unique<DcmFileFormat>(dataset.release(), OFFalse);
    image->transferSyntax = xfer;
    return image;
}

Uint16 StoreService::deliverImage(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                  std::unique_ptr<ImageData> image, const Connection &connection)
{
    // The class the command names must be the storage class its context was accepted for.
    if (req.AffectedSOPClassUID[0] == 0 || std::strcmp(req.AffectedSOPClassUID, pc.abstractSyntax) != 0
        || !isStorageClass(pc.abstractSyntax))
        return STATUS_STORE_Refused_SOPClassNotSupported;

    DcmDataset *dataset = &image->dataset();
    OFString sopClass, sopInstance;
    dataset->findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    if (sopClass != req.AffectedSOPClassUID || sopInstance != req.AffectedSOPInstanceUID)
        return STATUS_STORE_Error_DataSetDoesNotMatchSOPClass;

    // Command and file meta groups (0000-0007) belong to no image: left in, a reader of the
    // stored file would take the sender's meta elements for the file's own.
    for (unsigned long i = dataset->card(); i-- > 0;) {
        if (dataset->getElement(i)->getGTag() <= 0x0007)
            delete dataset->remove(i);
    }

    image->sourceAETitle = sourceAETitle(connection.callingAETitle);

    const std::shared_ptr<ImageSink> sink = sink_();
    switch (sink ? sink->deliver(connection, std::move(image), abandon_) : Delivery::Refused) {
    case Delivery::Stored:
        return STATUS_Success;
    case Delivery::Unstorable:
        return STATUS_STORE_Error_CannotUnderstand;
    case Delivery::Refused:
        break;
    }
    return STATUS_STORE_Refused_OutOfResources;
}

} // namespace dicom::detail
