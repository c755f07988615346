#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dicom::detail {

struct ImageData
{
    std::unique_ptr<DcmFileFormat> file;  // owns the data set
    E_TransferSyntax transferSyntax = EXS_Unknown;
    std::string sourceAETitle;
    bool written = false;

    // Images handed to the UI thread only note the handler's write there; their worker thread
    // writes them afterwards, so that several images are flushed to disk at once.
    struct WriteRequest
    {
        std::string path;
        bool replace;
    };
    bool deferWrites = false;
    std::vector<WriteRequest> pendingWrites;

    DcmDataset &dataset() { return *file->getDataset(); }
};

// Performs the writes noted for a deferred image. A failing write calls `onFailure` from
// inside its catch block. True when there was a write and every write succeeded.
bool completePendingWrites(ImageData &data, const std::function<void()> &onFailure);

} // namespace dicom::detail
