#include "StoreService.h"

#include "Limits.h"

#include <dcmtk/dcmdata/dcdeftag.h>

#include <cstring>

namespace dicom::detail {

bool StoreService::handle(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                          const Connection &connection)
{
    DcmDataset *received = nullptr;
    T_ASC_PresentationContextID dataPresID = presID;
    const OFCondition cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &dataPresID,
                                                          &received, nullptr, nullptr);
    std::unique_ptr<DcmDataset> dataset(received);
    if (cond.bad() || !dataset)
        return false;

    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.DimseStatus = deliverImage(assoc, req, std::move(dataset), dataPresID, connection);
    rsp.MessageIDBeingRespondedTo = req.MessageID;
    rsp.DataSetType = DIMSE_DATASET_NULL;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, req.AffectedSOPClassUID, sizeof rsp.AffectedSOPClassUID);
    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, req.AffectedSOPInstanceUID, sizeof rsp.AffectedSOPInstanceUID);
    rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    return DIMSE_sendStoreResponse(assoc, presID, &req, &rsp, nullptr).good();
}

Uint16 StoreService::deliverImage(T_ASC_Association *assoc, T_DIMSE_C_StoreRQ &req,
                                  std::unique_ptr<DcmDataset> dataset, T_ASC_PresentationContextID presID,
                                  const Connection &connection)
{
    OFString sopClass, sopInstance;
    dataset->findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    if (sopClass != req.AffectedSOPClassUID || sopInstance != req.AffectedSOPInstanceUID)
        return STATUS_STORE_Error_DataSetDoesNotMatchSOPClass;

    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(assoc->params, presID, &pc).bad())
        return STATUS_STORE_Error_CannotUnderstand;

    auto image = std::make_unique<ImageData>();
    image->file = std::make_unique<DcmFileFormat>(dataset.release(), OFFalse);
    image->transferSyntax = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    image->sourceAETitle = connection.callingAETitle.toStdString();

    const std::shared_ptr<ImageSink> sink = sink_();
    const bool stored = sink && sink->deliver(connection, std::move(image), abandon_);
    return stored ? STATUS_Success : STATUS_STORE_Refused_OutOfResources;
}

} // namespace dicom::detail
