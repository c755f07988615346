#pragma once

#include "Connection.h"
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

    // False when the association cannot go on (the data set did not arrive, or the answer
    // could not be sent).
    bool handle(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                const Connection &connection);

    quint64 stored() const { return stored_; }
    quint64 refused() const { return refused_; }
    // The network failure that made handle() return false, if any.
    OFCondition lastFailure() const { return lastFailure_; }

private:
    // Parses the received data set, kept in memory or in a spool file: null when DCMTK cannot.
    std::unique_ptr<ImageData> parse(const T_ASC_PresentationContext &pc, SpoolConsumer &spool,
                                     const GuardedConnection::DataSetSummary &seen, Uint16 &status);
    // Takes from the memory budget what parsing the data set holds and picks the read length
    // for a spooled one; false (and why, in the log) when it is refused.
    bool reserve(const GuardedConnection::DataSetSummary &seen, bool deflated, bool spooled,
                 MemoryBudget::Share &share, uint32_t &readLength, Uint16 &status);
    void refuse(const QString &why);
    // Checks the received data set against its command and context, delivers it and returns
    // the status for the sender.
    Uint16 deliverImage(const T_ASC_PresentationContext &pc, const T_DIMSE_C_StoreRQ &req,
                        std::unique_ptr<ImageData> image, const Connection &connection);

    CurrentSink sink_;
    std::function<bool()> abandon_;
    quint64 stored_ = 0;
    quint64 refused_ = 0;
    OFCondition lastFailure_;
};

} // namespace dicom::detail
