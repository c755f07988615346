#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace dicom::detail {

// Flushes `folder` itself, so that every name given in it before the call is durable. Throws
// AppError.
//
// Writers in one folder share flushes: a flush that starts after a name was given makes that
// name durable, so a writer waits for the next flush to start and end, and runs it only if no
// other writer has. With several associations storing into one folder, one flush then covers
// the names of all that came while the one before it ran, instead of one flush each, in a row.
// A writer fails if any flush since its call failed.
void syncFolder(const std::string &folder);

// The same with the flush given (0 or an errno), for tests that hold a flush to see who waits.
void syncFolder(const std::string &folder, const std::function<int(const std::string &)> &flush);

// Writers now in syncFolder for `folder`, the one flushing included; for tests.
size_t writersSyncing(const std::string &folder);

}  // namespace dicom::detail
