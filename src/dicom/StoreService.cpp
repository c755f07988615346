#include "StoreService.h"

#include "AppError.h"
#include "Dcmtk.h"
#include "GuardedConnection.h"
#include "Limits.h"
#include "Spool.h"
#include "TransferSyntaxes.h"
#include "FrontScanner.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>

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

// The answer for a delivery whose writes were carried out: never storable as it is (its name,
// a text its character set keeps out), stored, or not this time.
Uint16 statusOf(const ImageDelivery &delivery, bool stored)
{
    return delivery.unstorable() ? STATUS_STORE_Error_CannotUnderstand
           : stored              ? STATUS_Success
                                 : STATUS_STORE_Refused_OutOfResources;
}

// Elements, items and sequences DCMTK made of `item`.
uint64_t parsedObjects(DcmItem &item)
{
    uint64_t count = item.card();
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement *element = item.getElement(i);
        if (element->ident() != EVR_SQ)
            continue;
        auto *sequence = static_cast<DcmSequenceOfItems *>(element);
        for (unsigned long j = 0; j < sequence->card(); ++j)
            count += 1 + parsedObjects(*sequence->getItem(j));
    }
    return count;
}

// Command and file meta groups (0000-0007) belong to no image: left in, a reader of the stored
// file would take the sender's meta elements for the file's own. DCMTK keeps its elements
// sorted: they are at the front.
void dropCommandAndMetaGroups(DcmDataset &dataset)
{
    while (dataset.card() > 0 && dataset.getElement(0)->getGTag() <= 0x0007)
        delete dataset.remove(0ul);
}

// A UID of the data set as DIMSE reads the command's: without padding and the blanks around
// it. A blank inside stays, as it does in the command.
std::string uidOf(DcmDataset &dataset, const DcmTagKey &tag)
{
    OFString value;
    dataset.findAndGetOFString(tag, value);
    const std::string uid(value.c_str(), value.length());
    const size_t first = uid.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : uid.substr(first, uid.find_last_not_of(' ') - first + 1);
}

} // namespace

bool StoreService::handle(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                          const Connection &connection, const Guard &guard)
{
    // A store without a data set, or one that arrives on another context than its command's,
    // is no C-STORE at all.
    if (req.DataSetType == DIMSE_DATASET_NULL)
        return false;
    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(assoc->params, presID, &pc).bad())
        return false;
    // The front alone goes to a handler that takes it; a deflated data set is parsed whole.
    const DcmXfer xfer(pc.acceptedTransferSyntax);
    std::optional<FrontScanner> scanner;
    if (const std::shared_ptr<ImageSink> sink = sink_(); sink && sink->handsOver() && xfer.getStreamCompression() == ESC_none)
        scanner.emplace(xfer.isExplicitVR() != OFFalse, xfer.getByteOrder() == EBO_BigEndian);
    Received received(
        [&](const DataSetIntake::Front &front) { return takeFront(pc, req, connection, front, received); },
        std::move(scanner));
    if (!receive(assoc, presID, guard, received))
        return false;
    const Outcome outcome = check(pc, req, received, connection);
    if (outcome.endAssociation)
        return false;
    return answer(assoc, presID, req, outcome.status);
}

bool StoreService::receive(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, const Guard &guard,
                           Received &received)
{
    // The data set goes to memory, a spool file or the files its front asked for as it
    // arrives: DCMTK reserves nothing a peer declares before the guard has seen all of it.
    T_ASC_PresentationContextID dataPresID = presID;
    {
        ConsumerStream stream(received.intake);
        lastFailure_ = DIMSE_receiveDataSetInFile(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &dataPresID, &stream,
                                                  nullptr, nullptr);
    }
    received.intake.end();
    // Taken whatever becomes of the data set, so that the next one gets its own. No
    // connection left: the peer aborted, and DCMTK deleted it.
    GuardedConnection *guarded = guard();
    if (!guarded)
        return false;
    received.seen = guarded->takeDataSet();
    return lastFailure_.good() && dataPresID == presID;
}

DataSetIntake::Rest StoreService::takeFront(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                            const Connection &connection, const DataSetIntake::Front &front,
                                            Received &received)
{
    using Rest = DataSetIntake::Rest;
    const E_TransferSyntax xfer = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    auto dataset = std::make_unique<DcmDataset>();
    const OFCondition cond = readDataSet(front.bytes, front.size, xfer, *dataset);
    // Parsed otherwise than the front was read, or not the image its command names: the
    // whole data set decides, as for any other.
    if (cond.bad() || dataset->card() != front.elements || match(pc, req, *dataset) != 0)
        return Rest::Spool;
    // The parsed front is held until the image is stored: its share of the memory budget,
    // or the whole-parse path, which waits for one.
    const uint64_t held = front.size + parsedObjects(*dataset) * kBytesPerParsedElement;
    MemoryBudget::Share share = MemoryBudget::tryTake(held);
    if (share.bytes() < held)
        return Rest::Spool;
    auto image = std::make_unique<ImageData>();
    image->memory = std::move(share);
    image->file = std::make_unique<DcmFileFormat>(dataset.release(), OFFalse);
    image->transferSyntax = xfer;
    image->sourceAETitle = sourceAETitle(connection.callingAETitle);
    image->frontOnly = true;
    const std::shared_ptr<ImageSink> sink = sink_();
    if (sink)
        received.delivery = sink->handOver(connection, std::move(image), abandon_);
    ImageDelivery *delivery = received.delivery.get();
    received.verdict = !delivery                ? STATUS_STORE_Refused_OutOfResources
                       : delivery->unstorable() ? STATUS_STORE_Error_CannotUnderstand
                       : !delivery->hasWrites() ? STATUS_STORE_Refused_OutOfResources
                                                : 0;
    if (received.verdict != 0)
        return Rest::Drop;
    if (!delivery->streamable())
        return Rest::Spool;  // the handler asked for more than the front
    delivery->startFiles();
    received.intake.setFiles(delivery);
    return Rest::Files;
}

StoreService::Outcome StoreService::finishStreamed(Received &received)
{
    ImageDelivery &delivery = *received.delivery;
    // Refused as it would be were it parsed whole: no file of it would be read by anyone.
    if (neverParsed(received.seen.shape, parseCost(received.seen, false, true).bytes))
        return answerWith(STATUS_STORE_Error_CannotUnderstand);
    const WriteFailureHandler onFailure = failureReport();
    const NestingGuard::Shape &shape = received.seen.shape;
    if (!shape.topLevelOrdered || shape.containers) {
        // Sequences and items DCMTK may refuse in ways the guard does not follow, and DCMTK
        // sorts what came out of order: it reads the data set back before it is answered
        // (values of more than a few bytes left in the file).
        Reservation reserved = reserve(received.seen, false, true);
        if (reserved.refusal != 0)
            return answerWith(reserved.refusal);
        delivery.data().memory.add(std::move(reserved.share));
        ImageDelivery::ReadBack back = delivery.readBack(reserved.readLength);
        if (back.unreadable)
            return endAssociation();  // as for a data set parsed whole that DCMTK cannot read
        if (back.file && !shape.topLevelOrdered) {
            // What came out of order may be command or meta elements, which the front alone never held.
            dropCommandAndMetaGroups(*back.file->getDataset());
            delivery.rewriteFrom(std::move(back.file));
            const bool stored = delivery.carryOut(onFailure);
            return answerWith(statusOf(delivery, stored));
        }
    }
    const bool stored = delivery.finish(onFailure);
    streamed_ += stored ? 1 : 0;
    return answerWith(statusOf(delivery, stored));
}

StoreService::Outcome StoreService::check(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                          Received &received, const Connection &connection)
{
    const DataSetIntake::Rest rest = received.intake.rest();
    if (rest != DataSetIntake::Rest::Spool) {
        // Its front was handed on: nothing of it is kept unless the guard passed all of it.
        if (received.seen.endsInsideElement)
            return endAssociation();
        return rest == DataSetIntake::Rest::Drop ? answerWith(received.verdict) : finishStreamed(received);
    }
    SpoolConsumer &spool = received.intake.spool();
    if (spool.failure()) {
        // Received to its end, but not kept: no room to spool it.
        if (const std::shared_ptr<ImageSink> sink = sink_())
            sink->reportLoss(spool.failure());
        return answerWith(STATUS_STORE_Refused_OutOfResources);
    }
    if (received.seen.oversize) {
        refuse(QStringLiteral("A received deflated data set was refused (0xA700): it inflates to more than %1 MiB")
                   .arg(kMaxInflatedDataSet >> 20));
        return answerWith(STATUS_STORE_Refused_OutOfResources);
    }
    // A value that claims more bytes than arrived, or than its sequence or item holds:
    // DCMTK would reserve them before finding out.
    if (received.seen.endsInsideElement)
        return endAssociation();
    return parseAndDeliver(pc, req, received, connection);
}

StoreService::Outcome StoreService::parseAndDeliver(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                                    Received &received, const Connection &connection)
{
    SpoolConsumer &spool = received.intake.spool();
    const E_TransferSyntax xfer = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    Reservation reserved = reserve(received.seen, DcmXfer(xfer).getStreamCompression() != ESC_none,
                                   spool.file() != nullptr);
    if (reserved.refusal != 0)
        return answerWith(reserved.refusal);
    auto image = std::make_unique<ImageData>();
    image->memory = std::move(spool.share());
    image->memory.add(std::move(reserved.share));
    auto dataset = std::make_unique<DcmDataset>();
    OFCondition cond;
    if (spool.file()) {
        cond = dataset->loadFile(OFFilename(spool.file()->path().c_str()), xfer, EGL_noChange, reserved.readLength);
        image->spool = std::move(spool.file());
    } else {
        cond = readDataSet(spool.memory().data(), spool.memory().size(), xfer, *dataset);
    }
    if (cond.bad())
        return endAssociation();  // no data set DCMTK can read
    image->file = std::make_unique<DcmFileFormat>(dataset.release(), OFFalse);
    image->transferSyntax = xfer;
    if (received.delivery)
        return answerWith(deliverWhole(pc, req, std::move(image), *received.delivery));
    return answerWith(deliver(pc, req, std::move(image), connection));
}

bool StoreService::answer(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                          Uint16 status)
{
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

WriteFailureHandler StoreService::failureReport()
{
    return [this](std::exception_ptr failure) {
        if (const std::shared_ptr<ImageSink> sink = sink_())
            sink->reportLoss(failure);
    };
}

void StoreService::refuse(const QString &why)
{
    if (const std::shared_ptr<ImageSink> sink = sink_())
        sink->reportLoss(std::make_exception_ptr(AppError(ENOMEM, why)));
}

Uint16 StoreService::match(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req, DcmDataset &dataset)
{
    // The class the command names must be the storage class its context was accepted for.
    if (req.AffectedSOPClassUID[0] == 0 || std::strcmp(req.AffectedSOPClassUID, pc.abstractSyntax) != 0
        || !isStorageClass(pc.abstractSyntax))
        return STATUS_STORE_Refused_SOPClassNotSupported;
    if (uidOf(dataset, DCM_SOPClassUID) != req.AffectedSOPClassUID
        || uidOf(dataset, DCM_SOPInstanceUID) != req.AffectedSOPInstanceUID)
        return STATUS_STORE_Error_DataSetDoesNotMatchSOPClass;
    dropCommandAndMetaGroups(dataset);
    return 0;
}

Uint16 StoreService::deliverWhole(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                  std::unique_ptr<ImageData> image, ImageDelivery &delivery)
{
    if (const Uint16 status = match(pc, req, image->dataset()))
        return status;
    delivery.replaceDataSet(std::move(*image));
    return statusOf(delivery, delivery.carryOut(failureReport()));
}

Uint16 StoreService::deliver(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                             std::unique_ptr<ImageData> image, const Connection &connection)
{
    if (const Uint16 status = match(pc, req, image->dataset()))
        return status;
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
