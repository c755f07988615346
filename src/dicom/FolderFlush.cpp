#include "FolderFlush.h"

#include "AppError.h"

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace dicom::detail {

namespace {

struct Flushes
{
    size_t writers = 0;  // in syncFolder for this folder
    bool running = false;
    uint64_t started = 0;   // flushes begun, the running one included
    uint64_t finished = 0;  // the number of the last flush that ended
    uint64_t failed = 0;    // the number of the last flush that failed, and its errno
    int failedErrno = 0;
};

// Per folder while anyone is syncing it; a folder nobody syncs has no entry.
struct Registry
{
    std::mutex mutex;
    std::condition_variable ended;
    std::map<std::string, Flushes> folders;
};

// Never destroyed: an association thread may still be flushing while the program ends.
Registry &registry()
{
    static Registry *r = new Registry;
    return *r;
}

int flushFolder(const std::string &folder)
{
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int e = dirFd < 0 ? errno : ::fsync(dirFd) == 0 ? 0 : errno;
    if (dirFd >= 0)
        ::close(dirFd);
    return e;
}

}  // namespace

void syncFolder(const std::string &folder)
{
    syncFolder(folder, flushFolder);
}

void syncFolder(const std::string &folder, const std::function<int(const std::string &)> &flush)
{
    Registry &r = registry();
    std::unique_lock lock(r.mutex);
    Flushes &f = r.folders[folder];
    ++f.writers;
    // A flush running now may have begun before our name was given: the next one counts.
    const uint64_t covering = f.started + 1;
    while (f.finished < covering) {
        if (f.running) {
            r.ended.wait(lock);
            continue;
        }
        f.running = true;
        const uint64_t number = ++f.started;
        lock.unlock();
        int e = EIO;
        try {
            e = flush(folder);
        } catch (...) {
            // Counts as a failed flush: the writers waiting for it must not wait for ever.
        }
        lock.lock();
        f.running = false;
        f.finished = number;
        if (e != 0) {
            f.failed = number;
            f.failedErrno = e;
        }
        r.ended.notify_all();
    }
    const int e = f.failed >= covering ? f.failedErrno : 0;
    if (--f.writers == 0)
        r.folders.erase(folder);
    lock.unlock();
    if (e != 0)
        throw AppError(e, QStringLiteral("Cannot flush the folder %1: %2")
                              .arg(QString::fromLocal8Bit(folder.c_str()), errnoText(e)));
}

size_t writersSyncing(const std::string &folder)
{
    Registry &r = registry();
    const std::lock_guard lock(r.mutex);
    const auto it = r.folders.find(folder);
    return it == r.folders.end() ? 0 : it->second.writers;
}

}  // namespace dicom::detail
