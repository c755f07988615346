#pragma once

#include "ImageWriter.h"
#include "Spool.h"

#include <memory>
#include <string>
#include <vector>

namespace dicom {
class Image;
}

namespace dicom::detail {

class ImageFile;

// One received image on its way to the disk: the image the handler is given, the writes it
// asks for and its verdict. The writes are carried out after the handler has returned, on
// the delivering thread, so that several images reach the disk at once: all at once for a
// whole data set, or, for one whose front alone was parsed, the front first and then the
// rest of its bytes as they arrive.
class ImageDelivery final : public ImageWriter
{
public:
    explicit ImageDelivery(std::unique_ptr<ImageData> data);
    ~ImageDelivery() override;

    Image &image() { return *image_; }
    ImageData &data();

    void write(ImageData &image, const std::string &path, bool replace) override;
    bool writesLater() const override { return true; }
    void refuseForGood() override { unstorable_ = true; }
    bool unstorable() const { return unstorable_; }
    bool hasWrites() const { return !requests_.empty(); }
    // The front only was parsed, and it is all the changes asked for.
    bool streamable() const;

    // Whole data set: performs the writes; each that fails is handed to `onFailure`. True when
    // there was a write and every write succeeded.
    bool carryOut(const WriteFailureHandler &onFailure);

    // Front only: makes the changes and opens each file with the front in it, then takes the
    // rest of the data set's bytes. A failure is kept until `finish` reports it, so that a
    // data set its sender abandons leaves no trace.
    void startFiles();
    void append(const char *p, size_t size);
    // Commits every file; as carryOut.
    bool finish(const WriteFailureHandler &onFailure);
    // The whole data set, parsed after all: the changes are made again on it.
    void replaceDataSet(ImageData &&whole);
    // DCMTK's parse of the data set as the first file still open holds it, values over
    // `readLength` left there. No file: `unreadable` says whether DCMTK could not parse it, or
    // no file was left to read (each failure is reported by finish).
    struct ReadBack
    {
        std::unique_ptr<DcmFileFormat> file;
        bool unreadable = false;
    };
    ReadBack readBack(uint32_t readLength);
    // The rest came out of order, which DCMTK sorts as it parses: the files are made again by
    // carryOut from `whole` (read back from them), the changes made again on it.
    void rewriteFrom(std::unique_ptr<DcmFileFormat> whole);

private:
    struct Request
    {
        std::string path;
        bool replace;
        std::unique_ptr<ImageFile> file;
        std::exception_ptr failure;
        // What the file holds of an image still arriving, beyond what memory would hold of it.
        std::unique_ptr<DiskShare> disk;
        uint64_t written = 0;

        // Done with the file: committed, or removed with `why` kept for the report.
        void drop(std::exception_ptr why);
    };
    // The whole data set in place of the front, the changes waiting to be made again.
    void takeWhole(std::unique_ptr<DcmFileFormat> whole);
    // Files the data set is read back from: they outlive the image.
    std::vector<std::unique_ptr<ImageFile>> sources_;
    std::unique_ptr<Image> image_;
    std::vector<Request> requests_;
    bool unstorable_ = false;
};

} // namespace dicom::detail
