#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>
#include <string>

namespace dicom::detail {

// What an Image holds: the data set as DCMTK parsed it, and what its file needs besides.
struct ImageData
{
    std::unique_ptr<DcmFileFormat> file;  // owns the data set
    E_TransferSyntax transferSyntax = EXS_Unknown;
    std::string sourceAETitle;
    bool written = false;  // a write of this image has reached the disk
    // Something about the image itself (its name) can never be stored, however often the
    // sender tries: the sender is told so rather than invited to retry.
    bool unstorable = false;

    DcmDataset &dataset() { return *file->getDataset(); }
};

} // namespace dicom::detail
