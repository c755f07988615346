#include "MemoryBudget.h"

#include "Limits.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace dicom::detail {

namespace {

struct Budget
{
    std::mutex mutex;
    std::condition_variable freed;
    uint64_t taken = 0;
};

Budget &budget()
{
    // Never destroyed: shares may be given back while the program ends.
    static Budget *b = new Budget;
    return *b;
}

} // namespace

MemoryBudget::Share &MemoryBudget::Share::operator=(Share &&other) noexcept
{
    if (this != &other) {
        giveBack();
        bytes_ = other.bytes_;
        other.bytes_ = 0;
    }
    return *this;
}

void MemoryBudget::Share::add(Share &&other)
{
    bytes_ += other.bytes_;
    other.bytes_ = 0;
}

void MemoryBudget::Share::giveBack()
{
    if (bytes_ == 0)
        return;
    Budget &b = budget();
    {
        const std::lock_guard lock(b.mutex);
        b.taken -= bytes_;
    }
    bytes_ = 0;
    b.freed.notify_all();
}

MemoryBudget::Share MemoryBudget::tryTake(uint64_t bytes)
{
    Budget &b = budget();
    const std::lock_guard lock(b.mutex);
    if (b.taken + bytes > kMemoryBudgetBytes)
        return Share();
    b.taken += bytes;
    return Share(bytes);
}

MemoryBudget::Share MemoryBudget::take(uint64_t bytes, const std::function<bool()> &giveUp)
{
    if (bytes > kMemoryBudgetBytes)
        return Share();
    Budget &b = budget();
    std::unique_lock lock(b.mutex);
    while (b.taken + bytes > kMemoryBudgetBytes) {
        b.freed.wait_for(lock, std::chrono::milliseconds(kBudgetWaitCheckMs));
        if (giveUp())
            return Share();
    }
    b.taken += bytes;
    return Share(bytes);
}

} // namespace dicom::detail
