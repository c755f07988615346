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
constexpr int kAdmissionGraceMs = 1000;       // a new connection's time to begin before it may be dropped
constexpr size_t kMaxWaitingHardLimit = 384;  // connections held meanwhile, however fast they come

// Memory for received data sets, whatever peers send: all data sets held in memory at once
// (as received and as parsed), one data set at most, and the largest deflated data set,
// which can only be parsed whole, inflated. Larger data sets go to a spool file and are
// parsed with values above kMaxValueInMemory left there.
constexpr uint64_t kMemoryBudgetBytes = 64ull << 20;
constexpr size_t kMaxDataSetInMemory = 1u << 20;
constexpr uint64_t kMaxInflatedDataSet = 32ull << 20;
constexpr uint32_t kMaxValueInMemory = 64u << 10;
constexpr uint32_t kMaxRequestPduLength = 256 * 1024;

} // namespace dicom::detail
