#include "FileWriter.h"

#include "Dcmtk.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <cerrno>
#include <dirent.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dicom::detail {

namespace {

// Buffered writes to a file descriptor; the first failing write() is kept and stops all
// further output, so that the caller sees it instead of a silently short file.
class FdConsumer : public DcmConsumer
{
public:
    explicit FdConsumer(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }

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
        if (buffer_.size() + size_t(len) <= kBufferSize) {
            buffer_.insert(buffer_.end(), data, data + len);
            return len;
        }
        flush();
        if (size_t(len) >= kBufferSize)
            writeAll(data, size_t(len));
        else
            buffer_.insert(buffer_.end(), data, data + len);
        return good() ? len : 0;
    }

    void flush() override
    {
        if (!buffer_.empty() && good())
            writeAll(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

    int error() const { return error_; }

private:
    static constexpr size_t kBufferSize = 256 * 1024;

    void writeAll(const char *data, size_t len)
    {
        while (len > 0 && good()) {
            const ssize_t n = ::write(fd_, data, len);
            if (n < 0) {
                if (errno != EINTR)
                    error_ = errno;
                continue;
            }
            data += n;
            len -= size_t(n);
        }
    }

    int fd_;
    int error_ = 0;
    std::vector<char> buffer_;
};

class FdOutputStream : public DcmOutputStream
{
public:
    explicit FdOutputStream(FdConsumer &consumer) : DcmOutputStream(&consumer) {}
};

constexpr const char *kTemporaryPrefix = ".institution-stamp-";
constexpr const char *kTemporarySuffix = ".part";

// Temporary files that a killed or crashed writer left behind: each writer holds a lock on
// its own, so one that can be locked has no writer any more. Done once per folder and
// process, before the first write into it.
void removeStaleTemporaryFilesOnce(const std::string &folder)
{
    static std::mutex mutex;
    static std::set<std::string> done;
    const std::lock_guard lock(mutex);
    if (!done.insert(folder).second)
        return;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const size_t prefix = std::strlen(kTemporaryPrefix), suffix = std::strlen(kTemporarySuffix);
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix + suffix || name.compare(0, prefix, kTemporaryPrefix) != 0
            || name.compare(name.size() - suffix, suffix, kTemporarySuffix) != 0)
            continue;
        const int fd = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
        ::close(fd);
    }
    ::closedir(dir);
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

void writeFileAtomically(DcmFileFormat &file, E_TransferSyntax xfer, const std::string &path, bool replace)
{
    const QString shownPath = QString::fromLocal8Bit(path.c_str());
    const std::string folder = folderOf(path);
    const QString shownFolder = QString::fromLocal8Bit(folder.c_str());

    if (!replace && ::access(path.c_str(), F_OK) == 0)
        throw AppError(ErrorNumber::FileAccess, QStringLiteral("File already exists: %1").arg(shownPath));

    removeStaleTemporaryFilesOnce(folder);

    // The temporary name is unique per write and short, whatever the final name's length.
    std::string tempPath = folder + "/" + kTemporaryPrefix + "XXXXXX" + kTemporarySuffix;
    const int fd = ::mkostemps(tempPath.data(), int(std::strlen(kTemporarySuffix)), O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR)
            throw AppError(e, QStringLiteral("Folder not found: %1").arg(shownFolder));
        throw AppError(e, QStringLiteral("Cannot create a file in %1: %2").arg(shownFolder, errnoText(e)));
    }
    // Held until the file is renamed or removed: it tells a cleaner that this one is alive.
    ::flock(fd, LOCK_EX);

    bool fdOpen = true;
    auto fail = [&](const QString &what, int e) {
        if (fdOpen)
            ::close(fd);
        ::unlink(tempPath.c_str());
        throw AppError(e, QStringLiteral("%1 %2: %3").arg(what, shownPath, errnoText(e)));
    };

    ::fchmod(fd, 0666 & ~processUmask());

    FdConsumer consumer(fd);
    OFCondition cond;
    {
        FdOutputStream stream(consumer);
        DcmWriteCache cache;
        file.transferInit();
        cond = file.write(stream, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_noChange, 0, 0, 0,
                          EWM_dontUpdateMeta);
        file.transferEnd();
        // A deflating filter hands over its last bytes only on flush; it counts as flushed
        // once our buffer below it is empty too.
        consumer.flush();
        while (cond.good() && consumer.good() && !stream.isFlushed()) {
            stream.flush();
            consumer.flush();
        }
    }
    if (!consumer.good())
        fail(QStringLiteral("Cannot write"), consumer.error());
    if (cond.bad()) {
        ::close(fd);
        ::unlink(tempPath.c_str());
        throwCondition(cond, QStringLiteral("Cannot encode %1").arg(shownPath));
    }
    if (::fsync(fd) != 0)
        fail(QStringLiteral("Cannot flush"), errno);
    fdOpen = false;
    if (::close(fd) != 0)
        fail(QStringLiteral("Cannot close"), errno);
    if (::rename(tempPath.c_str(), path.c_str()) != 0)
        fail(QStringLiteral("Cannot store"), errno);

    // The new name itself is only durable once the folder is flushed as well; until then the
    // image is not stored, whatever is visible.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        const int e = errno;
        throw AppError(e, QStringLiteral("Cannot flush the folder %1: %2").arg(shownFolder, errnoText(e)));
    }
    if (::fsync(dirFd) != 0) {
        const int e = errno;
        ::close(dirFd);
        throw AppError(e, QStringLiteral("Cannot flush the folder %1: %2").arg(shownFolder, errnoText(e)));
    }
    ::close(dirFd);
}

} // namespace dicom::detail
