#include "TempFile.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace dicom::detail {

TempFile::TempFile(const std::string &folder, const char *prefix, const char *suffix, unsigned mode)
{
    // Six random characters as mkstemp makes them, but the file is made with its mode at once,
    // and the randomness is a per-thread generator's, not a system call per file.
    thread_local std::mt19937_64 random = [] {
        // A name only has to differ from the others in the folder; O_EXCL settles the rest.
        uint64_t seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^ uint64_t(::gettid());
        try {
            seed ^= std::random_device{}();
        } catch (...) {
        }
        return std::mt19937_64(seed);
    }();
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr uint64_t kLetterCount = sizeof kLetters - 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = folder + "/" + prefix;
        uint64_t bits = random();
        for (int i = 0; i < 6; ++i, bits /= kLetterCount)
            path += kLetters[bits % kLetterCount];
        path += suffix;
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode_t(mode));
        if (fd_ >= 0) {
            // Held until the file is renamed or removed: it tells a sweep that this one is alive.
            ::flock(fd_, LOCK_EX);
            path_ = std::move(path);
            return;
        }
        if (errno != EEXIST) {
            error_ = errno;
            return;
        }
    }
    error_ = EEXIST;
}

int TempFile::write(const char *p, size_t size) const
{
    return writeAll(fd_, p, size);
}

int TempFile::sync() const
{
    return ::fsync(fd_) == 0 ? 0 : errno;
}

int TempFile::close()
{
    const int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result;
}

int TempFile::renameTo(const std::string &target)
{
    if (::rename(path_.c_str(), target.c_str()) != 0)
        return errno;
    path_.clear();
    return 0;
}

void TempFile::discard()
{
    // Removed while still locked, so that no sweep takes it for a leftover meanwhile.
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void removeLeftoverTempFiles(const std::string &folder, const char *prefix, const char *suffix)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const size_t prefixSize = std::strlen(prefix), suffixSize = std::strlen(suffix);
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefixSize + suffixSize || name.compare(0, prefixSize, prefix) != 0
            || name.compare(name.size() - suffixSize, suffixSize, suffix) != 0)
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

int writeAll(int fd, const char *p, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        p += n;
        size -= size_t(n);
    }
    return 0;
}

int writeAll(int fd, const char *first, size_t firstSize, const char *second, size_t secondSize)
{
    while (firstSize > 0) {
        iovec pieces[2] = {{const_cast<char *>(first), firstSize}, {const_cast<char *>(second), secondSize}};
        const ssize_t n = ::writev(fd, pieces, 2);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        const size_t fromFirst = std::min(size_t(n), firstSize);
        first += fromFirst;
        firstSize -= fromFirst;
        second += size_t(n) - fromFirst;
        secondSize -= size_t(n) - fromFirst;
    }
    return writeAll(fd, second, secondSize);
}

} // namespace dicom::detail
