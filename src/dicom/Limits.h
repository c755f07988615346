#pragma once

#include <cstddef>
#include <cstdint>

// Every cap and timeout of the receiver, each with its reason: what it allows a peer (how long
// it may stay silent, how many of it there may be, how much it may make us hold) and how
// often a waiting thread looks again.
namespace dicom::detail {

constexpr int kArtimSeconds = 30;             // DCMTK's own deadline for an association request
constexpr int kFirstBytesSeconds = 5;         // a new connection must start its request by then
constexpr int kRequestSeconds = 10;           // and have sent all of it by then
constexpr int kDimseSeconds = 60;             // the longest silence within or between messages
// Once a message has taken longer than the silence allows, each of its last
// kRateWindowSeconds must have brought at least this much on average: a peer that drips a
// few bytes a minute holds no association for long, however fast it began.
constexpr uint64_t kMinBytesPerSecond = 64 * 1024;
constexpr int kRateWindowSeconds = kDimseSeconds;
constexpr size_t kMaxAssociations = 100;      // per listener; more are rejected as congestion
// No one host takes every association: the others' senders still get in while it holds its share.
constexpr size_t kMaxAssociationsPerPeer = kMaxAssociations / 2;
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
// A data set's front (its top-level elements up to (0008,0080)) is parsed alone and the rest
// kept as it came, when the front is at most this large; a larger one is parsed whole.
constexpr size_t kMaxFrontBytes = 64 * 1024;
constexpr uint32_t kMaxRequestPduLength = 256 * 1024;
// The smallest PDU a peer may ask us to send: below it no response fits (DCMTK cannot split
// a message into PDVs that small), so the peer would never hear that its image was stored.
constexpr long kMinPeerPduLength = 14;
// All association requests read while they arrive, at once: a flood of large ones holds no
// more memory than this.
constexpr size_t kMaxWaitingRequestBytes = 8u << 20;

// The largest PDU DCMTK takes from a peer once associated: what we announce, and the 100
// bytes of slack its buffer has beyond it. A P-DATA PDU over it is refused as DCMTK would.
constexpr uint32_t kMaxReceivePdu = 128 * 1024;
constexpr uint32_t kMaxPDataLength = kMaxReceivePdu + 100;
// A command set larger than this is no command a sender would make.
constexpr size_t kMaxCommandBytes = 64 * 1024;
// Far more complete data sets than DCMTK can be behind the guard by.
constexpr size_t kMaxDataSetsAhead = 1024;
// Sequences and items open at once: DCMTK's parser recurses once per level, and this many
// stay far within an association thread's stack.
constexpr size_t kMaxOpenNesting = 128;

// Disk for spool files, whatever peers send: all spool files of the process together (two
// images with the largest value DICOM allows, side by side), and the room they leave on their
// file system for everyone else, the larger of an absolute and a relative margin. A data set
// past either is refused. Spool files take their room in steps, so the file system is asked
// once per step, not once per write.
constexpr uint64_t kMaxSpoolBytes = 8ull << 30;
constexpr uint64_t kMinSpoolFreeBytes = 1ull << 30;
constexpr unsigned kMinSpoolFreePercent = 5;
constexpr uint64_t kSpoolStepBytes = 1u << 20;

// How long a thread that waits sleeps before it looks again whether to give up: an
// association waiting for the window's handler, or for room in the memory budget, and the
// acceptor when no connection's deadline comes sooner. Only how soon a give-up is noticed
// depends on them.
constexpr int kHandlerWaitCheckMs = 100;
constexpr int kBudgetWaitCheckMs = 200;
constexpr int kAcceptorWakeMs = 1000;

} // namespace dicom::detail
