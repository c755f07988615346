#pragma once

#include <cstddef>
#include <cstdint>

// What the receiver allows a peer: how long it may stay silent and how many of it there may be.
namespace dicom::detail {

constexpr int kArtimSeconds = 30;             // DCMTK's own deadline for an association request
constexpr int kFirstBytesSeconds = 5;         // a new connection must start its request by then
constexpr int kRequestSeconds = 10;           // and have sent all of it by then
constexpr int kDimseSeconds = 60;             // the longest silence within or between messages
// Once a message has taken longer than the silence allows, it must have come at least this
// fast on average: a peer that drips a few bytes a minute holds no association for long.
constexpr uint64_t kMinBytesPerSecond = 64 * 1024;
constexpr size_t kMaxAssociations = 100;      // per listener; more are rejected as congestion
constexpr size_t kMaxWaitingConnections = 128;
constexpr size_t kMaxWaitingPerPeer = 64;     // no one host takes every place in the queue

// Memory for received data sets, whatever peers send: all data sets held in memory at once
// (as received and as parsed), one data set at most, and the largest deflated data set,
// which can only be parsed whole, inflated. Larger data sets go to a spool file and are
// parsed with values above kMaxValueInMemory left there.
constexpr uint64_t kMemoryBudgetBytes = 64ull << 20;
constexpr size_t kMaxDataSetInMemory = 1u << 20;
constexpr uint64_t kMaxInflatedDataSet = 32ull << 20;
constexpr uint32_t kMaxValueInMemory = 64u << 10;
// A spooled data set whose small values would not fit is parsed with fewer values read:
// the largest of these read lengths whose cost stays under kMaxInflatedDataSet is taken.
inline constexpr uint32_t kReadLengths[] = {kMaxValueInMemory, 4096, 256};
// What DCMTK holds per element, item or sequence parsed, beyond its value (measured about
// 200 bytes, and a little more for a value left in the spool file).
constexpr uint64_t kBytesPerParsedElement = 320;
// Steps DCMTK's parse may take beyond one per element: its sorted insert walks back over
// the elements already read for each one that comes out of order, and each private element
// looks through the private creators of its item (a few per 10 ns).
constexpr uint64_t kMaxParseSteps = 16'000'000;
constexpr uint32_t kMaxRequestPduLength = 256 * 1024;

} // namespace dicom::detail
