#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <string>

namespace dicom::detail {

// Fills the file meta information for `xfer`: SOP class and instance from the data set, our
// implementation class UID and version name, the sender's AE title as source.
void prepareMetaHeader(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &sourceAETitle);

// Writes `file` to `path` in `xfer` through a temporary file in the same folder: every write,
// the flush to disk and the rename are checked; on failure the temporary file is removed and
// an earlier file at `path` stays as it was. Throws AppError.
void writeFileAtomically(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path, bool replace);

} // namespace dicom::detail
