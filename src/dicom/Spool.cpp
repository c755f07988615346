#include "Spool.h"

#include "AppError.h"
#include "Limits.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace dicom::detail {

namespace {

constexpr const char *kSpoolPrefix = ".spool-";

bool isOurFolder(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// A folder of this user's own under $TMPDIR or /var/tmp (on disk, unlike /tmp on some
// systems), that only we may enter. Checked at each use, one lstat: a temp cleaner may have
// removed it since. Where its usual name is taken (another user's folder, a link, a file),
// a private folder beside it, rather than no spool at all.
std::string spoolFolder()
{
    struct LastUsed
    {
        std::mutex mutex;
        std::string base, folder;
    };
    static LastUsed *last = new LastUsed;  // never destroyed: spool files may be made while the program ends
    std::string &base = last->base, &folder = last->folder;
    const char *tmp = std::getenv("TMPDIR");
    const std::string wanted = tmp && *tmp ? tmp : "/var/tmp";
    const std::lock_guard lock(last->mutex);
    if (wanted == base && isOurFolder(folder))
        return folder;
    std::string candidate = wanted + "/institution-stamp-" + std::to_string(::getuid());
    if ((::mkdir(candidate.c_str(), 0700) == 0 || errno == EEXIST) && isOurFolder(candidate)) {
        // Spool files a dead process left: each live one is locked by its owner.
        removeLeftoverTempFiles(candidate, kSpoolPrefix, "");
    } else {
        candidate += "-XXXXXX";
        if (!::mkdtemp(candidate.data())) {
            const int e = errno;
            throw AppError(e, QStringLiteral("No spool folder for received images: %1").arg(errnoText(e)));
        }
    }
    base = wanted;
    folder = std::move(candidate);
    return folder;
}

// Spool bytes the process holds at once, as reserved by its spool files.
struct SpoolRoom
{
    std::mutex mutex;
    uint64_t held = 0;
};

SpoolRoom &spoolRoom()
{
    static SpoolRoom *r = new SpoolRoom;  // never destroyed, as the budget
    return *r;
}

// The cap on all spool files at once. A site, or a test, may set it lower, never higher.
uint64_t spoolLimit()
{
    static const uint64_t limit = [] {
        const char *text = std::getenv("INSTITUTION_STAMP_SPOOL_LIMIT_MIB");
        if (!text || !*text)
            return kMaxSpoolBytes;
        char *end = nullptr;
        const unsigned long long mib = std::strtoull(text, &end, 10);
        return *end == '\0' && mib > 0 && mib < (kMaxSpoolBytes >> 20) ? uint64_t(mib) << 20 : kMaxSpoolBytes;
    }();
    return limit;
}

[[noreturn]] void throwSpoolLimit(const QString &why)
{
    throw AppError(ENOSPC, QStringLiteral("Spool limit reached: %1").arg(why));
}

} // namespace

// Received data is nobody else's business, whatever the umask.
SpoolFile::SpoolFile() : temp_(spoolFolder(), kSpoolPrefix, "", 0600)
{
    if (const int e = temp_.error())
        throw AppError(e, QStringLiteral("Cannot make a spool file: %1").arg(errnoText(e)));
}

SpoolFile::~SpoolFile()
{
    temp_.discard();
}

DiskShare::~DiskShare()
{
    SpoolRoom &room = spoolRoom();
    const std::lock_guard lock(room.mutex);
    room.held -= reserved_;
}

void DiskShare::cover(int fd, uint64_t size)
{
    if (size <= reserved_)
        return;
    const uint64_t more = (size - reserved_ + kSpoolStepBytes - 1) / kSpoolStepBytes * kSpoolStepBytes;
    struct statvfs fs {};
    if (::fstatvfs(fd, &fs) != 0) {
        const int e = errno;
        throw AppError(e, QStringLiteral("Cannot measure the spool's file system: %1").arg(errnoText(e)));
    }
    const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    const uint64_t margin = std::max(kMinSpoolFreeBytes, uint64_t(fs.f_blocks) * unit / 100 * kMinSpoolFreePercent);
    if (uint64_t(fs.f_bavail) * unit < margin + more)
        throwSpoolLimit(QStringLiteral("its file system would keep less than %1 MiB free").arg(margin >> 20));
    SpoolRoom &room = spoolRoom();
    const std::lock_guard lock(room.mutex);
    if (room.held + more > spoolLimit())
        throwSpoolLimit(QStringLiteral("received data sets hold %1 MiB of spool files, the most allowed at once")
                            .arg(room.held >> 20));
    room.held += more;
    reserved_ += more;
}

void SpoolFile::write(const char *p, size_t size)
{
    share_.cover(temp_.fd(), written_ + size);
    if (const int e = temp_.write(p, size))
        throw AppError(e, QStringLiteral("Cannot write the spool file %1: %2")
                              .arg(QString::fromLocal8Bit(temp_.path().c_str()), errnoText(e)));
    written_ += size;
}

void SpoolConsumer::lose(std::exception_ptr why)
{
    failure_ = std::move(why);
    std::vector<char>().swap(memory_);
    share_.giveBack();
    file_.reset();
}

bool SpoolConsumer::writeToFile(const char *p, size_t size)
{
    try {
        file_->write(p, size);
        return true;
    } catch (const AppError &) {
        lose(std::current_exception());
        return false;
    }
}

bool SpoolConsumer::spill()
{
    try {
        file_ = std::make_unique<SpoolFile>();
    } catch (const AppError &) {
        lose(std::current_exception());
        return false;
    }
    if (!writeToFile(memory_.data(), memory_.size()))
        return false;
    std::vector<char>().swap(memory_);
    share_.giveBack();
    return true;
}

offile_off_t SpoolConsumer::write(const void *buf, offile_off_t len)
{
    if (failure_)
        return len;
    if (!file_) {
        // In memory, twice: as received and as DCMTK will have parsed it.
        if (memory_.size() + size_t(len) <= kMaxDataSetInMemory) {
            MemoryBudget::Share more = MemoryBudget::tryTake(2 * uint64_t(len));
            if (more.bytes() > 0) {
                share_.add(std::move(more));
                const char *data = static_cast<const char *>(buf);
                memory_.insert(memory_.end(), data, data + len);
                return len;
            }
        }
        if (!spill())
            return len;
    }
    writeToFile(static_cast<const char *>(buf), size_t(len));
    return len;
}

} // namespace dicom::detail
