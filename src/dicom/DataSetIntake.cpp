#include "DataSetIntake.h"

#include "Limits.h"

#include <algorithm>

namespace dicom::detail {

namespace {

// How much of a piece is copied at a time while the front is read: most fronts are a few
// hundred bytes.
constexpr size_t kFrontPiece = 4096;

} // namespace

void DataSetIntake::toSpool()
{
    frontDone_ = true;
    rest_ = Rest::Spool;
    if (!front_.empty())
        spool_.write(front_.data(), offile_off_t(front_.size()));
    std::vector<uint8_t>().swap(front_);
    share_.giveBack();
}

void DataSetIntake::end()
{
    if (!frontDone_)
        toSpool();
}

offile_off_t DataSetIntake::write(const void *buf, offile_off_t len)
{
    const auto *data = static_cast<const uint8_t *>(buf);
    if (!frontDone_ && !scanner_)
        toSpool();
    if (frontDone_) {
        if (rest_ == Rest::Spool)
            return spool_.write(buf, len);
        if (rest_ == Rest::Files && files_)
            files_->append(reinterpret_cast<const char *>(data), size_t(len));
        return len;
    }
    // The front in memory, a piece at a time, so that no more than the front (and the start
    // of what follows it) is copied: the rest of this piece goes on from where it lies.
    size_t used = 0;
    FrontScanner::State state = FrontScanner::State::Reading;
    while (state == FrontScanner::State::Reading && used < size_t(len)) {
        const size_t take = std::min(size_t(len) - used, kFrontPiece);
        MemoryBudget::Share more = MemoryBudget::tryTake(2 * uint64_t(take));
        if (more.bytes() == 0) {
            toSpool();
            return spool_.write(data + used, len - offile_off_t(used)) + offile_off_t(used);
        }
        share_.add(std::move(more));
        front_.insert(front_.end(), data + used, data + used + take);
        used += take;
        state = scanner_->follow(front_.data(), front_.size());
    }
    if (state == FrontScanner::State::Reading)
        return len;
    if (state == FrontScanner::State::Found)
        rest_ = onFront_({front_.data(), size_t(scanner_->frontEnd()), scanner_->elements()});
    if (state == FrontScanner::State::Unusable || rest_ == Rest::Spool) {
        toSpool();
        spool_.write(data + used, len - offile_off_t(used));
        return len;
    }
    frontDone_ = true;
    if (rest_ == Rest::Files && files_) {
        const size_t frontSize = size_t(scanner_->frontEnd());
        files_->append(reinterpret_cast<const char *>(front_.data() + frontSize), front_.size() - frontSize);
        files_->append(reinterpret_cast<const char *>(data + used), size_t(len) - used);
    }
    std::vector<uint8_t>().swap(front_);
    share_.giveBack();
    return len;
}

} // namespace dicom::detail
