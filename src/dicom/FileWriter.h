#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <memory>
#include <string>

namespace dicom::detail {

// Fills the file meta information for `xfer`: SOP class and instance from the data set, our
// implementation class UID and version name, the sender's AE title as source.
void prepareMetaHeader(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &sourceAETitle);

class FdConsumer;
class TempFile;

// An image file in the making, hidden until committed: the file meta information and the data
// set as DCMTK holds it first, then, for a data set of which DCMTK holds the front only, the
// rest of its bytes as they arrive. Every write, the flush to disk and the rename are checked;
// dropped uncommitted, nothing of it stays and an earlier file at `path` is as it was. Every
// step throws AppError.
class ImageFile
{
public:
    ImageFile(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path, bool replace);
    ~ImageFile();
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;

    void append(const char *p, size_t size);
    // Everything appended is in the temporary file, which DCMTK may read back.
    void flush();
    const std::string &temporaryPath() const;
    int fd() const;
    // Flushed, renamed to its path, and the folder flushed.
    void commit();

private:
    std::string path_;
    std::string folder_;
    std::unique_ptr<TempFile> temp_;
    std::unique_ptr<FdConsumer> out_;
};

// Writes `file` to `path` in `xfer` through a temporary file in the same folder: every write,
// the flush to disk and the rename are checked; on failure the temporary file is removed and
// an earlier file at `path` stays as it was. Throws AppError.
void writeFileAtomically(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path, bool replace);

} // namespace dicom::detail
