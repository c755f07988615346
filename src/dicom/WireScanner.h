#pragma once

#include "Limits.h"
#include "NestingGuard.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace dicom::detail {

// The 4-byte big-endian length of a PDU or PDV header.
inline uint32_t bigEndian32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Follows the PDUs a peer sends, byte by byte, and says what DCMTK is to read in their place.
// Every P-DATA PDU becomes one PDU per PDV, each PDV unchanged: DCMTK 3.6.7 steps wrongly from
// one PDV to the next inside a PDU (it crashes on some), and one PDV per PDU is the same
// stream to every layer above. Values pass as they came; only headers are rewritten.
//
// It also refuses what DCMTK must never parse: a command or data set nested too deep, a
// data-set fragment where no data set is due (DCMTK would read it as a command), one on
// another presentation context than its command's or on one not accepted, a command too large
// or one whose data-set announcement cannot be read, a P-DATA PDU that DCMTK would refuse,
// and a message that comes too slowly. Once refused, always.
class WireScanner
{
public:
    // What the scanner saw of each complete data set, oldest first.
    struct DataSetSummary
    {
        uint64_t size = 0;  // inflated, for a deflated one
        bool oversize = false;
        bool endsInsideElement = true;
        NestingGuard::Shape shape;  // what parsing it would cost
    };
    using Clock = std::chrono::steady_clock;

    // The encoding of the data sets sent on presentation context `id`.
    void setEncoding(uint8_t id, NestingGuard::Encoding encoding) { encodings_[id] = encoding; }

    // How many bytes from here on pass to DCMTK as they are; 0 while a header is due.
    uint64_t passable() const { return state_ == State::PdvData ? pdvLeft_ : state_ == State::PduBody ? pduLeft_ : 0; }
    // Hands on `n` (at most `passable()`) bytes of a value or PDU body. False once refused.
    bool pass(const uint8_t *p, size_t n);
    // Takes bytes of the header in progress (`passable()` is 0) and appends to `out` what
    // DCMTK reads in place of a header once it is complete. Returns the bytes taken.
    size_t takeHeader(const uint8_t *p, size_t n, std::string &out);
    // Both of the above for a whole stretch of bytes: false once refused.
    bool feed(const uint8_t *p, size_t n, std::string &out);

    // Counts `n` bytes received at `now`: false once a message comes too slowly.
    bool arrived(size_t n, Clock::time_point now);

    bool refused() const { return failed_; }
    // The peer sent an A-ABORT.
    bool abortSeen() const { return abortSeen_; }
    // Whoever receives a data set takes its own summary. None left reads as a data set that
    // ends inside an element, one not to be parsed.
    DataSetSummary takeDataSet();

private:
    enum class State { PduHeader, PduBody, PdvHeader, PdvData };

    size_t collect(const uint8_t *p, size_t n, size_t want);
    void onPduHeader(std::string &out);
    void onPdvHeader(std::string &out);
    bool startPdv();
    void endPdv();
    void endOfCommand();
    void startMessage(Clock::time_point now);

    State state_ = State::PduHeader;
    uint8_t header_[6] = {};
    size_t have_ = 0;
    uint8_t pduReserved_ = 0;
    uint64_t pduLeft_ = 0;
    uint64_t pdvLeft_ = 0;
    bool pdvCommand_ = false;
    bool pdvLast_ = false;
    uint8_t pdvContext_ = 0;
    bool failed_ = false;
    bool abortSeen_ = false;

    std::map<uint8_t, NestingGuard::Encoding> encodings_;
    std::unique_ptr<NestingGuard> command_;
    std::unique_ptr<NestingGuard> dataset_;
    std::deque<DataSetSummary> dataSets_;
    std::string commandBytes_;  // the command in progress, to read its data-set announcement
    uint8_t commandContext_ = 0;
    bool dataSetDue_ = false;   // the last command announced a data set not yet complete

    // The message in progress (a command and its data set): when it began, and what it
    // brought in each second of the last kRateWindowSeconds, so that early bytes buy no
    // time later.
    bool inMessage_ = false;
    bool messageStarting_ = false;
    Clock::time_point messageStart_;
    uint64_t perSecond_[kRateWindowSeconds] = {};
    int64_t newestSecond_ = 0;  // since the message began
    uint64_t inWindow_ = 0;
};

} // namespace dicom::detail
