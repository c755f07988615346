#pragma once

namespace dicom::detail {

// Where a transfer syntax stands in the receiver's preference, best first: uncompressed,
// then lossless compression, then lossy compression (taken only when a context offers
// nothing better), deflate last. -1 for one the receiver does not accept.
int transferSyntaxRank(const char *uid);

// A storage SOP class DCMTK knows.
bool isStorageClass(const char *uid);
bool isVerificationClass(const char *uid);

} // namespace dicom::detail
