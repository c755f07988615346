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

    // Set when the image's writes run later on a thread of their own: a stamp that needs a
    // pass over the whole data set (a character-set conversion) then waits in `beforeWrite`
    // instead of holding up the handler's thread.
    bool deferWholeDataSetWork = false;
    // Changes to make before the first write, in the order they were asked for.
    std::vector<std::function<void(DcmDataset &)>> beforeWrite;

    // Set while the data set holds only its front (the top-level elements up to (0008,0080))
    // and the rest is still arriving. Every change is kept in `replay` as well, to be made
    // again should the whole data set be needed after all: for a change that waits in
    // `beforeWrite` (beyond the front, or one that needs the whole data set).
    bool frontOnly = false;
    std::vector<std::function<void(DcmDataset &)>> replay;

    DcmDataset &dataset() { return *file->getDataset(); }
};

} // namespace dicom::detail
