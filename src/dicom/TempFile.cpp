#include "TempFile.h"


#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dicom::detail {

TempFile::TempFile(const std::string &folder, const char *prefix, const char *suffix)
{
    std::string path = folder + "/" + prefix + "XXXXXX" + suffix;
    fd_ = ::mkostemps(path.data(), int(std::strlen(suffix)), O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    // Held until the file is renamed or removed: it tells a sweep that this one is alive.
    ::flock(fd_, LOCK_EX);
    path_ = std::move(path);
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

} // namespace dicom::detail
