#pragma once

#include <cstddef>
#include <string>

namespace dicom::detail {

// A hidden temporary file of ours in `folder`, named `prefix`, six random characters and
// `suffix`, made with `mode` less the umask: locked while it lives, so that a sweep can tell
// it from one a killed or crashed process left, and removed with this object unless it was
// renamed into place. The name is short, whatever its final name's length.
class TempFile
{
public:
    // Never throws: when no file can be made, fd() is negative and error() is the errno.
    TempFile(const std::string &folder, const char *prefix, const char *suffix, unsigned mode);
    ~TempFile() { discard(); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }
    const std::string &path() const { return path_; }

    // Each returns 0, or the errno of its failure.
    int write(const char *p, size_t size) const;
    int sync() const;
    // Closes the file, and lets go of its lock; its name stays ours to remove.
    int close();
    // Gives the file its final name: from then on it is no longer removed.
    int renameTo(const std::string &target);
    // Removes the file now, unless renamed; closes it in any case.
    void discard();

private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

// Removes the temporary files in `folder` named as above that no live TempFile holds: each
// one whose lock can be taken has no writer any more.
void removeLeftoverTempFiles(const std::string &folder, const char *prefix, const char *suffix);

// Writes all of `size` bytes to `fd`; 0, or the errno of the first failing write.
int writeAll(int fd, const char *p, size_t size);
// The same for two pieces one after the other, in one call where the file takes them.
int writeAll(int fd, const char *first, size_t firstSize, const char *second, size_t secondSize);

} // namespace dicom::detail
