#include "StoreService.h"

#include "Limits.h"
#include "TransferSyntaxes.h"

#include <dcmtk/dcmdata/dcdeftag.h>

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
    DcmDataset *received = nullptr;
    T_ASC_PresentationContextID dataPresID = presID;
    const OFCondition cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &dataPresID,
                                                          &received, nullptr, nullptr);
    std::unique_ptr<DcmDataset> dataset(received);
    if (cond.bad() || !dataset || dataPresID != presID)
        return false;

    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.DimseStatus = deliverImage(pc, req, std::move(dataset), connection);
    rsp.MessageIDBeingRespondedTo = req.MessageID;
    rsp.DataSetType = DIMSE_DATASET_NULL;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, req.AffectedSOPClassUID, sizeof rsp.AffectedSOPClassUID);
    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, req.AffectedSOPInstanceUID, sizeof rsp.AffectedSOPInstanceUID);
    rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    return DIMSE_sendStoreResponse(assoc, presID, &req, &rsp, nullptr).good();
}

Uint16 StoreService::deliverImage(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                  std::unique_ptr<DcmDataset> dataset, const Connection &connection)
{
    // The class the command names must be the storage class its context was accepted for.
    if (req.AffectedSOPClassUID[0] == 0 || std::strcmp(req.AffectedSOPClassUID, pc.abstractSyntax) != 0
        || !isStorageClass(pc.abstractSyntax))
        return STATUS_STORE_Refused_SOPClassNotSupported;

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

    auto image = std::make_unique<ImageData>();
    image->file = std::make_unique<DcmFileFormat>(dataset.release(), OFFalse);
    image->transferSyntax = DcmXfer(pc.acceptedTransferSyntax).getXfer();
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
