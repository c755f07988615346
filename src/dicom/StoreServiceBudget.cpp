#include "StoreService.h"

#include "AppError.h"
#include "Limits.h"

#include <chrono>
#include <iterator>

// What parsing a received data set costs, and the memory budget it is taken from.
namespace dicom::detail {

namespace {

QString mib(uint64_t bytes)
{
    return QString::number(double(bytes) / (1 << 20), 'f', 1);
}

} // namespace

StoreService::ParseCost StoreService::parseCost(const GuardedConnection::DataSetSummary &seen, bool deflated,
                                                bool spooled)
{
    // What the parse holds: its objects, and the values read into memory. Those of a data set
    // in memory are in its share already; a deflated one is read whole; a spooled one is read
    // with the longest read length that keeps it small, down to one that leaves nearly all of
    // its values in the spool file.
    const NestingGuard::Shape &shape = seen.shape;
    ParseCost cost{shape.objects * kBytesPerParsedElement, kReadLengths[0]};
    if (deflated) {
        cost.bytes += seen.size;
    } else if (spooled) {
        size_t i = 0;
        while (i + 1 < std::size(kReadLengths) && cost.bytes + shape.heldValues[i] > kMaxInflatedDataSet)
            ++i;
        cost.readLength = kReadLengths[i];
        cost.bytes += shape.heldValues[i];
    }
    return cost;
}

bool StoreService::neverParsed(const NestingGuard::Shape &shape, uint64_t bytes)
{
    if (shape.parseSteps > kMaxParseSteps) {
        refuse(QStringLiteral("A received data set was refused: its %1 elements are in an order that would take "
                              "too long to parse").arg(shape.objects));
        return true;
    }
    if (bytes > kMemoryBudgetBytes) {
        refuse(QStringLiteral("A received data set was refused: parsing it would take %1 MiB of memory, more than "
                              "the %2 MiB all received data sets may hold").arg(mib(bytes), mib(kMemoryBudgetBytes)));
        return true;
    }
    return false;
}

StoreService::Reservation StoreService::reserve(const GuardedConnection::DataSetSummary &seen, bool deflated,
                                                bool spooled)
{
    Reservation r;
    const ParseCost cost = parseCost(seen, deflated, spooled);
    r.readLength = cost.readLength;
    // Refused for good: DCMTK would spend more time or memory on it than any data set may.
    r.refusal = STATUS_STORE_Error_CannotUnderstand;
    if (neverParsed(seen.shape, cost.bytes))
        return r;
    // Waits a while for others to give theirs back.
    r.refusal = STATUS_STORE_Refused_OutOfResources;
    const auto start = std::chrono::steady_clock::now();
    r.share = MemoryBudget::take(cost.bytes, [&] {
        return abandon_() || std::chrono::steady_clock::now() - start > std::chrono::seconds(kDimseSeconds);
    });
    if (r.share.bytes() < cost.bytes) {
        if (!abandon_())
            refuse(QStringLiteral("A received data set was refused (0xA700): no room for the %1 MiB of memory "
                                  "parsing it takes, other data sets held it for %2 s").arg(mib(cost.bytes)).arg(kDimseSeconds));
        return r;
    }
    r.refusal = 0;
    return r;
}

} // namespace dicom::detail
