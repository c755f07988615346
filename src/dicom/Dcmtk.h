#pragma once

#include "AppError.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/ofstd/ofcond.h>

#include <QString>

namespace dicom::detail {

// What this program calls itself, in the meta information of its files and in its answers to
// association requests alike.
inline constexpr const char *kImplementationClassUID = "2.25.291979462136547940345893682089116006224";
inline constexpr const char *kImplementationVersionName = "INSTSTAMP_100";

// Process-wide DCMTK settings, made once before the first DICOM object is used.
void initializeDcmtk();

// A failed DCMTK call as the error log records it: a negative number built from the
// condition's module and code, and DCMTK's text after `what`.
[[noreturn]] void throwCondition(const OFCondition &cond, const QString &what);
inline void check(const OFCondition &cond, const QString &what)
{
    if (cond.bad())
        throwCondition(cond, what);
}

// DCMTK's output stream over a consumer of our own; DCMTK keeps its constructor protected.
class ConsumerStream : public DcmOutputStream
{
public:
    explicit ConsumerStream(DcmConsumer &consumer) : DcmOutputStream(&consumer) {}
};

// DCMTK's parse of a data set held whole in memory, in `xfer`.
OFCondition readDataSet(const void *bytes, size_t size, E_TransferSyntax xfer, DcmDataset &dataset);

} // namespace dicom::detail
