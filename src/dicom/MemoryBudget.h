#pragma once

#include <cstdint>
#include <functional>

namespace dicom::detail {

// Memory the process lets received data sets hold at once, whatever peers send: small data
// sets stay in memory within it, all others go to a spool file.
class MemoryBudget
{
public:
    // Bytes taken from the budget, given back when destroyed.
    class Share
    {
    public:
        Share() = default;
        ~Share() { giveBack(); }
        Share(Share &&other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
        Share &operator=(Share &&other) noexcept;
        void add(Share &&other);
        uint64_t bytes() const { return bytes_; }
        void giveBack();

    private:
        friend class MemoryBudget;
        explicit Share(uint64_t bytes) : bytes_(bytes) {}
        uint64_t bytes_ = 0;
    };

    // At once, or nothing.
    static Share tryTake(uint64_t bytes);
    // Waits while others hold the budget, until `giveUp` says so; nothing then.
    static Share take(uint64_t bytes, const std::function<bool()> &giveUp);
};

} // namespace dicom::detail
