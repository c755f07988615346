#pragma once

#include "Connection.h"
#include "DataSetIntake.h"
#include "GuardedConnection.h"
#include "ImageSink.h"
#include "MemoryBudget.h"
#include "Spool.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <functional>
#include <memory>

namespace dicom::detail {

// The C-STORE service of one association: receives the data set, checks it against its
// command, builds the image, delivers it to the current sink and answers the sender.
class StoreService
{
public:
    using CurrentSink = std::function<std::shared_ptr<ImageSink>()>;

    StoreService(CurrentSink sink, std::function<bool()> abandon)
        : sink_(std::move(sink)), abandon_(std::move(abandon))
    {
    }

    // The association's guarded connection, while DCMTK has one.
    using Guard = std::function<GuardedConnection *()>;

    // Receives the data set of `req`, checks it, delivers it and answers. False when the
    // association cannot go on (the data set did not arrive, or the answer could not be sent).
    bool handle(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                const Connection &connection, const Guard &guard);

    quint64 stored() const { return stored_; }
    quint64 refused() const { return refused_; }
    // Images stored with only their front parsed, the rest kept as it came.
    quint64 streamed() const { return streamed_; }
    // The network failure that made handle() return false, if any.
    OFCondition lastFailure() const { return lastFailure_; }

private:
    // What became of a received data set: a status for the sender, or the end of the
    // association (a data set DCMTK must not or cannot read).
    struct Outcome
    {
        bool endAssociation = false;
        Uint16 status = 0;
    };
    static Outcome answerWith(Uint16 status) { return {false, status}; }
    static Outcome endAssociation() { return {true, 0}; }

    // The data set as it arrived: unparsed in the spool, or, when its front was handed on
    // alone, in the delivery's files; and what the wire scanner saw of it.
    struct Received
    {
        explicit Received(DataSetIntake::OnFront onFront, std::optional<FrontScanner> scanner)
            : intake(std::move(scanner), std::move(onFront))
        {
        }
        DataSetIntake intake;
        GuardedConnection::DataSetSummary seen;
        std::unique_ptr<ImageDelivery> delivery;  // the handler has seen its front
        Uint16 verdict = 0;                        // the answer decided at the front, if any
    };
    // The memory a parse may hold and the read length it uses, or why it may not run.
    struct Reservation
    {
        MemoryBudget::Share share;
        uint32_t readLength = 0;
        Uint16 refusal = 0;  // 0: reserved
    };

    bool receive(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, const Guard &guard,
                 Received &received);
    // The front of a data set has arrived: parses it and hands it on; says where the rest goes.
    DataSetIntake::Rest takeFront(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                                  const Connection &connection, const DataSetIntake::Front &front, Received &received);
    // The rest of a data set handed on with its front has arrived.
    Outcome finishStreamed(Received &received);
    // What may not be parsed at all, then the parse and the delivery.
    Outcome check(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req, Received &received,
                  const Connection &connection);
    Outcome parseAndDeliver(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req, Received &received,
                            const Connection &connection);
    // Takes from the memory budget what parsing the data set holds and picks the read length
    // for a spooled one; says why (also in the log) when it is refused.
    Reservation reserve(const GuardedConnection::DataSetSummary &seen, bool deflated, bool spooled);
    void refuse(const QString &why);
    // What parsing a data set holds, at the read length that keeps it smallest.
    struct ParseCost
    {
        uint64_t bytes;
        uint32_t readLength;
    };
    static ParseCost parseCost(const GuardedConnection::DataSetSummary &seen, bool deflated, bool spooled);
    // Refuses (and logs) a data set DCMTK would take too long, or more memory than all data
    // sets may hold, to parse.
    bool neverParsed(const NestingGuard::Shape &shape, uint64_t bytes);
    // Write failures go where the sink reports images lost.
    WriteFailureHandler failureReport();
    // Checks the parsed data set against its command and context: 0 when it matches, else the
    // status for the sender; takes the command and meta groups out of it.
    Uint16 match(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req, DcmDataset &dataset);
    // Checks the parsed data set against its command and context, delivers it and returns
    // the status for the sender.
    Uint16 deliver(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req, std::unique_ptr<ImageData> image,
                   const Connection &connection);
    // The whole data set of an image whose handler has seen its front already: its changes
    // are made again on it, and its writes carried out.
    Uint16 deliverWhole(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                        std::unique_ptr<ImageData> image, ImageDelivery &delivery);
    bool answer(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req, Uint16 status);

    CurrentSink sink_;
    std::function<bool()> abandon_;
    quint64 stored_ = 0;
    quint64 refused_ = 0;
    quint64 streamed_ = 0;
    OFCondition lastFailure_;
};

} // namespace dicom::detail
