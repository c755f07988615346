#pragma once

#include "MemoryBudget.h"
#include "Spool.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dicom::detail {

// What an Image holds: the data set as DCMTK parsed it, and what its file needs besides.
struct ImageData
{
    // Where a large data set's values stay until written, and the memory a small one holds:
    // both given back with the image (after `file`, which reads from the spool file).
    std::unique_ptr<SpoolFile> spool;
    MemoryBudget::Share memory;
    std::unique_ptr<DcmFileFormat> file;  // owns the data set
    E_TransferSyntax transferSyntax = EXS_Unknown;
    std::string sourceAETitle;
    bool written = false;  // a write of this image has reached the disk
    // Something about the image itself (its name) can never be stored, however often the
    // sender tries: the sender is told so rather than invited to retry.
    bool unstorable = false;

    // Set when the image's writes run later on a thread of their own: a stamp that needs a
    // pass over the whole data set (a character-set conversion) then waits in `beforeWrite`
    // instead of holding up the handler's thread.
    bool deferWholeDataSetWork = false;
    // Changes to make before the first write, in the order they were asked for.
    std::vector<std::function<void(DcmDataset &)>> beforeWrite;

    DcmDataset &dataset() { return *file->getDataset(); }
};

} // namespace dicom::detail
