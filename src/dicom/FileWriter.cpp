#include "FileWriter.h"

#include "Dcmtk.h"
#include "FolderFlush.h"
#include "TempFile.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dicom::detail {

// Buffered writes to a file descriptor; the first failing write() is kept and stops all
// further output, so that the caller sees it instead of a silently short file.
class FdConsumer : public DcmConsumer
{
public:
    explicit FdConsumer(int fd) : fd_(fd) {}

    OFBool good() const override { return error_ == 0; }
    OFCondition status() const override
    {
        return good() ? EC_Normal : makeOFCondition(OFM_dcmdata, 1001, OF_error, std::strerror(error_));
    }
    OFBool isFlushed() const override { return buffer_.empty(); }
    offile_off_t avail() const override { return good() ? offile_off_t(1) << 30 : 0; }

    offile_off_t write(const void *buf, offile_off_t len) override
    {
        if (!good())
            return 0;
        const char *data = static_cast<const char *>(buf);
        // Large pieces (a received data set's PDVs) go to the file as they are, uncopied.
        if (buffer_.size() + size_t(len) <= kBufferSize && size_t(len) < kDirectWrite) {
            buffer_.insert(buffer_.end(), data, data + len);
            return len;
        }
        if (size_t(len) < kDirectWrite) {
            flush();
            buffer_.insert(buffer_.end(), data, data + len);
        } else if (good()) {
            // What the buffer holds goes in the same call.
            error_ = writeAll(fd_, buffer_.data(), buffer_.size(), data, size_t(len));
            buffer_.clear();
        }
        return good() ? len : 0;
    }

    void flush() override
    {
        if (!buffer_.empty() && good())
            error_ = writeAll(fd_, buffer_.data(), buffer_.size());
        buffer_.clear();
    }

    int error() const { return error_; }

private:
    static constexpr size_t kBufferSize = 256 * 1024;
    static constexpr size_t kDirectWrite = 32 * 1024;

    int fd_;
    int error_ = 0;
    std::vector<char> buffer_;
};

namespace {

constexpr const char *kTemporaryPrefix = ".institution-stamp-";
constexpr const char *kTemporarySuffix = ".part";

// Temporary files that a killed or crashed writer left behind, once per folder and process,
// before the first write into it.
void removeStaleTemporaryFilesOnce(const std::string &folder)
{
    static std::mutex mutex;
    static std::set<std::string> done;
    const std::lock_guard lock(mutex);
    if (done.insert(folder).second)
        removeLeftoverTempFiles(folder, kTemporaryPrefix, kTemporarySuffix);
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

[[noreturn]] void throwFileError(const QString &what, const std::string &path, int e)
{
    throw AppError(e, QStringLiteral("%1 %2: %3").arg(what, QString::fromLocal8Bit(path.c_str()), errnoText(e)));
}

// Throws unless `temp` was made.
void prepare(const TempFile &temp, const std::string &folder)
{
    if (const int e = temp.error()) {
        const QString shownFolder = QString::fromLocal8Bit(folder.c_str());
        if (e == ENOENT || e == ENOTDIR)
            throw AppError(e, QStringLiteral("Folder not found: %1").arg(shownFolder));
        throw AppError(e, QStringLiteral("Cannot create a file in %1: %2").arg(shownFolder, errnoText(e)));
    }
}

void encodeInto(FdConsumer &consumer, DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path)
{
    OFCondition cond;
    {
        ConsumerStream stream(consumer);
        DcmWriteCache cache;
        file.transferInit();
        cond = file.write(stream, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_noChange, 0, 0, 0,
                          EWM_dontUpdateMeta);
        file.transferEnd();
        // A deflating filter hands over its last bytes only on flush; it counts as flushed
        // once our buffer below it is empty too. Without one, DCMTK's bytes are all with the
        // consumer, and what it still buffers goes with the next large piece or the commit.
        if (DcmXfer(xfer).getStreamCompression() != ESC_none) {
            consumer.flush();
            while (cond.good() && consumer.good() && !stream.isFlushed()) {
                stream.flush();
                consumer.flush();
            }
        }
    }
    if (!consumer.good())
        throwFileError(QStringLiteral("Cannot write"), path, consumer.error());
    if (cond.bad())
        throwCondition(cond, QStringLiteral("Cannot encode %1").arg(QString::fromLocal8Bit(path.c_str())));
}

// Flushed to disk, closed and renamed into place, each step checked.
void commitTemp(TempFile &temp, const std::string &path)
{
    if (const int e = temp.sync())
        throwFileError(QStringLiteral("Cannot flush"), path, e);
    if (const int e = temp.close())
        throwFileError(QStringLiteral("Cannot close"), path, e);
    if (const int e = temp.renameTo(path))
        throwFileError(QStringLiteral("Cannot store"), path, e);
}

} // namespace

void prepareMetaHeader(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &sourceAETitle)
{
    check(file.validateMetaInfo(xfer, EWM_createNewMeta), QStringLiteral("Cannot build the file meta information"));
    DcmMetaInfo *meta = file.getMetaInfo();
    check(meta->putAndInsertString(DCM_ImplementationClassUID, kImplementationClassUID),
          QStringLiteral("Cannot set the implementation class UID"));
    check(meta->putAndInsertString(DCM_ImplementationVersionName, kImplementationVersionName),
          QStringLiteral("Cannot set the implementation version name"));
    if (!sourceAETitle.empty())
        check(meta->putAndInsertString(DCM_SourceApplicationEntityTitle, sourceAETitle.c_str()),
              QStringLiteral("Cannot set the source AE title"));
    check(meta->computeGroupLengthAndPadding(EGL_withGL, EPD_noChange, EXS_LittleEndianExplicit, EET_UndefinedLength),
          QStringLiteral("Cannot compute the file meta information length"));
}

ImageFile::ImageFile(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path, bool replace)
    : path_(path), folder_(folderOf(path))
{
    if (!replace && ::access(path.c_str(), F_OK) == 0)
        throw AppError(ErrorNumber::FileAccess,
                       QStringLiteral("File already exists: %1").arg(QString::fromLocal8Bit(path.c_str())));
    removeStaleTemporaryFilesOnce(folder_);
    // Removed on any failure, so that an earlier file at `path` stays as it was.
    // The mode any new file gets: 0666 less the umask.
    temp_ = std::make_unique<TempFile>(folder_, kTemporaryPrefix, kTemporarySuffix, 0666);
    prepare(*temp_, folder_);
    out_ = std::make_unique<FdConsumer>(temp_->fd());
    encodeInto(*out_, file, xfer, path_);
}

ImageFile::~ImageFile() = default;

void ImageFile::append(const char *p, size_t size)
{
    out_->write(p, offile_off_t(size));
    if (!out_->good())
        throwFileError(QStringLiteral("Cannot write"), path_, out_->error());
}

void ImageFile::flush()
{
    out_->flush();
    if (!out_->good())
        throwFileError(QStringLiteral("Cannot write"), path_, out_->error());
}

const std::string &ImageFile::temporaryPath() const
{
    return temp_->path();
}

int ImageFile::fd() const
{
    return temp_->fd();
}

void ImageFile::commit()
{
    flush();
    commitTemp(*temp_, path_);
    // The new name itself is only durable once the folder is flushed as well; until then the
    // image is not stored, whatever is visible.
    syncFolder(folder_);
}

void writeFileAtomically(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path, bool replace)
{
    ImageFile(file, xfer, path, replace).commit();
}

} // namespace dicom::detail
