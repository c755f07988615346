#pragma once

#include <cstddef>
#include <cstdint>

// What the receiver allows a peer: how long it may stay silent and how many of it there may be.
namespace dicom::detail {

constexpr int kArtimSeconds = 30;             // a new connection must send its request by then
constexpr int kDimseSeconds = 60;             // the longest silence within or between messages
constexpr size_t kMaxAssociations = 100;      // per listener; more are rejected as congestion
constexpr size_t kMaxWaitingConnections = 128;
constexpr uint32_t kMaxRequestPduLength = 256 * 1024;

} // namespace dicom::detail
