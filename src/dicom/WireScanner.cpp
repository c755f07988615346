#include "WireScanner.h"

#include <algorithm>
#include <cstring>

namespace dicom::detail {

namespace {

constexpr uint8_t kPData = 0x04;
constexpr uint8_t kAbort = 0x07;

void appendPduHeader(std::string &out, uint8_t type, uint8_t reserved, uint32_t length)
{
    const char header[6] = {char(type), char(reserved), char(length >> 24), char(length >> 16), char(length >> 8),
                            char(length)};
    out.append(header, sizeof header);
}

} // namespace

size_t WireScanner::collect(const uint8_t *p, size_t n, size_t want)
{
    const size_t take = std::min(want - have_, n);
    std::memcpy(header_ + have_, p, take);
    have_ += take;
    return take;
}

size_t WireScanner::takeHeader(const uint8_t *p, size_t n, std::string &out)
{
    if (failed_ || passable() > 0)
        return 0;
    if (state_ == State::PduHeader) {
        const size_t taken = collect(p, n, 6);
        if (have_ == 6)
            onPduHeader(out);
        return taken;
    }
    // A PDV header never runs past the end of its PDU: DCMTK refuses a PDU whose PDVs do not
    // add up to its length.
    if (pduLeft_ < 6 - have_) {
        failed_ = true;
        return 0;
    }
    const size_t taken = collect(p, n, 6);
    pduLeft_ -= taken;
    if (have_ == 6)
        onPdvHeader(out);
    return taken;
}

void WireScanner::onPduHeader(std::string &out)
{
    have_ = 0;
    pduLeft_ = bigEndian32(header_ + 2);
    if (header_[0] != kPData) {
        abortSeen_ = abortSeen_ || header_[0] == kAbort;
        // Any other PDU goes to DCMTK as it came.
        out.append(reinterpret_cast<const char *>(header_), 6);
        state_ = pduLeft_ > 0 ? State::PduBody : State::PduHeader;
        return;
    }
    // Its header is replaced by one per PDV; DCMTK refuses a P-DATA PDU without PDVs or one
    // larger than its buffer, and so does the guard.
    pduReserved_ = header_[1];
    if (pduLeft_ == 0 || pduLeft_ > kMaxPDataLength)
        failed_ = true;
    state_ = State::PdvHeader;
}

void WireScanner::onPdvHeader(std::string &out)
{
    have_ = 0;
    const uint32_t length = bigEndian32(header_);
    // At least the context and the control byte, and no more than the PDU has left.
    if (length < 2 || length - 2 > pduLeft_) {
        failed_ = true;
        return;
    }
    pdvLeft_ = length - 2;
    pdvContext_ = header_[4];
    pdvCommand_ = header_[5] & 1;
    pdvLast_ = header_[5] & 2;
    if (!startPdv()) {
        failed_ = true;
        return;
    }
    appendPduHeader(out, kPData, pduReserved_, length + 4);
    out.append(reinterpret_cast<const char *>(header_), 6);
    state_ = State::PdvData;
    if (pdvLeft_ == 0)
        endPdv();
}

bool WireScanner::pass(const uint8_t *p, size_t n)
{
    if (failed_ || n == 0)
        return !failed_;
    if (state_ == State::PduBody) {
        pduLeft_ -= n;
        if (pduLeft_ == 0)
            state_ = State::PduHeader;
        return true;
    }
    auto &guard = pdvCommand_ ? command_ : dataset_;
    if (!guard->feed(p, n)) {
        failed_ = true;
        return false;
    }
    if (pdvCommand_) {
        if (commandBytes_.size() + n > kMaxCommandBytes) {
            failed_ = true;
            return false;
        }
        commandBytes_.append(reinterpret_cast<const char *>(p), n);
    }
    pdvLeft_ -= n;
    pduLeft_ -= n;
    if (pdvLeft_ == 0)
        endPdv();
    return !failed_;
}

bool WireScanner::feed(const uint8_t *p, size_t n, std::string &out)
{
    while (n > 0 && !failed_) {
        size_t take = size_t(std::min<uint64_t>(passable(), n));
        if (take > 0) {
            out.append(reinterpret_cast<const char *>(p), take);
            pass(p, take);
        } else if ((take = takeHeader(p, n, out)) == 0) {
            break;
        }
        p += take;
        n -= take;
    }
    return !failed_;
}

void WireScanner::endPdv()
{
    if (pdvLast_) {
        auto &guard = pdvCommand_ ? command_ : dataset_;
        if (!pdvCommand_) {
            if (dataSets_.size() >= kMaxDataSetsAhead)
                failed_ = true;
            else
                dataSets_.push_back({guard->size(), guard->oversize(), guard->endsInsideElement(), guard->shape()});
        }
        guard.reset();
        if (pdvCommand_)
            endOfCommand();
        else
            dataSetDue_ = false;
        inMessage_ = dataSetDue_;
    }
    state_ = pduLeft_ == 0 ? State::PduHeader : State::PdvHeader;
}

bool WireScanner::startPdv()
{
    if (pdvCommand_) {
        if (dataSetDue_)
            return false;  // DCMTK's data-set reader refuses it; no reason to let it through
        if (!command_) {
            command_ = std::make_unique<NestingGuard>(NestingGuard::Encoding{});  // implicit VR little endian
            commandBytes_.clear();
            commandContext_ = pdvContext_;
            inMessage_ = true;
            messageStarting_ = true;
        }
        return pdvContext_ == commandContext_;
    }
    // DCMTK's command reader parses whatever PDV comes while a command is due as a command:
    // a data set is let through only where DCMTK reads it as one.
    if (!dataSetDue_ || pdvContext_ != commandContext_)
        return false;
    if (!dataset_) {
        const auto it = encodings_.find(pdvContext_);
        if (it == encodings_.end())
            return false;
        dataset_ = std::make_unique<NestingGuard>(it->second);
    }
    return true;
}

void WireScanner::endOfCommand()
{
    // Command Data Set Type (0000,0800): any value but 0101H announces a data set. The command
    // is read as DCMTK reads it, implicit VR little endian, the first occurrence counting;
    // one that cannot be read so is refused.
    const auto *p = reinterpret_cast<const uint8_t *>(commandBytes_.data());
    const size_t n = commandBytes_.size();
    auto u16 = [p](size_t at) { return uint16_t(p[at] | (p[at + 1] << 8)); };
    size_t pos = 0;
    dataSetDue_ = false;
    while (pos + 8 <= n) {
        const uint16_t group = u16(pos);
        const uint16_t element = u16(pos + 2);
        const uint32_t length = uint32_t(u16(pos + 4)) | (uint32_t(u16(pos + 6)) << 16);
        if (length == 0xFFFFFFFF) {
            failed_ = true;
            return;
        }
        if (group == 0x0000 && element == 0x0800) {
            dataSetDue_ = length >= 2 && pos + 10 <= n && u16(pos + 8) != 0x0101;
            break;
        }
        pos += 8 + uint64_t(length);
    }
    commandBytes_.clear();
}

bool WireScanner::arrived(size_t n, Clock::time_point now)
{
    if (!inMessage_ && !messageStarting_)
        return !failed_;
    if (messageStarting_) {
        messageStarting_ = false;
        messageStart_ = now;
        std::fill(std::begin(perSecond_), std::end(perSecond_), 0);
        newestSecond_ = 0;
        inWindow_ = 0;
    }
    const int64_t second = std::chrono::duration_cast<std::chrono::seconds>(now - messageStart_).count();
    // Seconds without bytes since the newest count as such.
    for (int64_t s = newestSecond_ + 1; s <= second && s <= newestSecond_ + kRateWindowSeconds; ++s) {
        inWindow_ -= perSecond_[s % kRateWindowSeconds];
        perSecond_[s % kRateWindowSeconds] = 0;
    }
    newestSecond_ = std::max(newestSecond_, second);
    perSecond_[newestSecond_ % kRateWindowSeconds] += n;
    inWindow_ += n;
    if (second >= kRateWindowSeconds && inWindow_ < kMinBytesPerSecond * kRateWindowSeconds)
        failed_ = true;
    return !failed_;
}

WireScanner::DataSetSummary WireScanner::takeDataSet()
{
    if (dataSets_.empty())
        return {};
    const DataSetSummary summary = dataSets_.front();
    dataSets_.pop_front();
    return summary;
}

} // namespace dicom::detail
