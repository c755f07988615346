#include "Spool.h"

#include "AppError.h"
#include "Limits.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dicom::detail {

namespace {

struct Budget
{
    std::mutex mutex;
    std::condition_variable freed;
    uint64_t taken = 0;
};

Budget &budget()
{
    // Never destroyed: shares may be given back while the program ends.
    static Budget *b = new Budget;
    return *b;
}

constexpr const char *kSpoolPrefix = ".spool-";

// Spool files a dead process left: each live one is locked by its owner.
void removeStaleSpoolFiles(const std::string &folder)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const size_t prefix = std::strlen(kSpoolPrefix);
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, kSpoolPrefix, prefix) != 0)
            continue;
        const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(dir);
}

// A folder of this user's own under $TMPDIR or /var/tmp (on disk, unlike /tmp on some
// systems): made once, checked to be a real folder that only we may enter.
std::string spoolFolder()
{
    static std::once_flag once;
    static std::string folder;
    static int error = 0;
    std::call_once(once, [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp ? tmp : "/var/tmp";
        std::string candidate = base + "/institution-stamp-" + std::to_string(::getuid());
        if (::mkdir(candidate.c_str(), 0700) != 0 && errno != EEXIST) {
            error = errno;
            return;
        }
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()
            || (st.st_mode & 077) != 0) {
            error = EPERM;
            return;
        }
        removeStaleSpoolFiles(candidate);
        folder = candidate;
    });
    if (folder.empty())
        throw AppError(error, QStringLiteral("No spool folder for received images: %1").arg(errnoText(error)));
    return folder;
}

} // namespace

MemoryBudget::Share &MemoryBudget::Share::operator=(Share &&other) noexcept
{
    if (this != &other) {
        giveBack();
        bytes_ = other.bytes_;
        other.bytes_ = 0;
    }
    return *this;
}

void MemoryBudget::Share::add(Share &&other)
{
    bytes_ += other.bytes_;
    other.bytes_ = 0;
}

void MemoryBudget::Share::giveBack()
{
    if (bytes_ == 0)
        return;
    Budget &b = budget();
    {
        const std::lock_guard lock(b.mutex);
        b.taken -= bytes_;
    }
    bytes_ = 0;
    b.freed.notify_all();
}

MemoryBudget::Share MemoryBudget::tryTake(uint64_t bytes)
{
    Budget &b = budget();
    const std::lock_guard lock(b.mutex);
    if (b.taken + bytes > kMemoryBudgetBytes)
        return Share();
    b.taken += bytes;
    return Share(bytes);
}

MemoryBudget::Share MemoryBudget::take(uint64_t bytes, const std::function<bool()> &giveUp)
{
    if (bytes > kMemoryBudgetBytes)
        return Share();
    Budget &b = budget();
    std::unique_lock lock(b.mutex);
    while (b.taken + bytes > kMemoryBudgetBytes) {
        b.freed.wait_for(lock, std::chrono::milliseconds(200));
        if (giveUp())
            return Share();
    }
    b.taken += bytes;
    return Share(bytes);
}

SpoolFile::SpoolFile()
{
    std::string path = spoolFolder() + "/" + kSpoolPrefix + "XXXXXX";
    fd_ = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd_ < 0) {
        const int e = errno;
        throw AppError(e, QStringLiteral("Cannot make a spool file: %1").arg(errnoText(e)));
    }
    ::flock(fd_, LOCK_EX);
    path_ = std::move(path);
}

SpoolFile::~SpoolFile()
{
    ::unlink(path_.c_str());
    ::close(fd_);
}

void SpoolConsumer::lose(std::exception_ptr why)
{
    failure_ = std::move(why);
    std::vector<char>().swap(memory_);
    share_.giveBack();
    file_.reset();
}

bool SpoolConsumer::writeToFile(const char *p, size_t left)
{
    while (left > 0) {
        const ssize_t n = ::write(file_->fd(), p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            lose(std::make_exception_ptr(AppError(
                e, QStringLiteral("Cannot write the spool file %1: %2")
                       .arg(QString::fromLocal8Bit(file_->path().c_str()), errnoText(e)))));
            return false;
        }
        p += n;
        left -= size_t(n);
    }
    return true;
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
