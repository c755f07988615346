#include "DataSetIntake.h"

#include "Limits.h"

namespace dicom::detail {

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
    if (!frontDone_) {
        if (!scanner_)
            toSpool();
    }
    if (frontDone_) {
        if (rest_ == Rest::Spool)
            return spool_.write(buf, len);
        if (rest_ == Rest::Files && files_)
            files_->append(reinterpret_cast<const char *>(data), size_t(len));
        return len;
    }
    // The front in memory, twice: as received and as DCMTK parses it.
    MemoryBudget::Share more = MemoryBudget::tryTake(2 * uint64_t(len));
    if (more.bytes() == 0) {
        toSpool();
        return spool_.write(buf, len);
    }
    share_.add(std::move(more));
    front_.insert(front_.end(), data, data + len);
    const FrontScanner::State state = scanner_->follow(front_.data(), front_.size());
    if (state == FrontScanner::State::Reading)
        return len;
    if (state == FrontScanner::State::Unusable) {
        toSpool();
        return len;
    }
    const size_t frontSize = size_t(scanner_->frontEnd());
    rest_ = onFront_({front_.data(), frontSize, scanner_->elements()});
    if (rest_ == Rest::Spool) {
        toSpool();
        return len;
    }
    frontDone_ = true;
    if (rest_ == Rest::Files && files_)
        files_->append(reinterpret_cast<const char *>(front_.data() + frontSize), front_.size() - frontSize);
    std::vector<uint8_t>().swap(front_);
    share_.giveBack();
    return len;
}

} // namespace dicom::detail
