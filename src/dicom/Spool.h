#pragma once

#include "MemoryBudget.h"
#include "TempFile.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcostrma.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace dicom::detail {

// Disk that bytes of data sets still arriving hold: spool files, and the files of images whose
// rest is being written as it comes. All of them together stay under the spool's limit, and
// the file system each is on keeps its margin free (Limits.h). Taken in steps, so the file
// system is asked once per step, not once per write; given back with this object.
class DiskShare
{
public:
    DiskShare() = default;
    ~DiskShare();
    DiskShare(const DiskShare &) = delete;
    DiskShare &operator=(const DiskShare &) = delete;

    // Room for the file `fd` to hold `size` bytes. Throws AppError ("Spool limit reached:
    // ...") past either limit.
    void cover(int fd, uint64_t size);

private:
    uint64_t reserved_ = 0;
};

// A spool file of ours: created hidden in the spool folder, locked while it lives (so that a
// later process can tell it from one a dead process left), removed with this object. Its
// bytes count against the spool's limits (Limits.h) until then.
class SpoolFile
{
public:
    // Throws AppError when no spool file can be made.
    SpoolFile();
    ~SpoolFile();
    SpoolFile(const SpoolFile &) = delete;
    SpoolFile &operator=(const SpoolFile &) = delete;

    const std::string &path() const { return temp_.path(); }
    int fd() const { return temp_.fd(); }
    // Appends, within the spool's limits. Throws AppError ("Spool limit reached: ..." past them).
    void write(const char *p, size_t size);

private:
    TempFile temp_;
    DiskShare share_;
    uint64_t written_ = 0;
};

// A consumer of a data set's bytes that takes every one it is given: what it cannot keep it
// drops, saying why elsewhere, so that DCMTK always reads a data set to its end and the
// sender gets an answer.
class TakingConsumer : public DcmConsumer
{
public:
    OFBool good() const override { return OFTrue; }
    OFCondition status() const override { return EC_Normal; }
    OFBool isFlushed() const override { return true; }
    offile_off_t avail() const override { return offile_off_t(1) << 30; }
    void flush() override {}
};

// Where DCMTK puts a data set's bytes as they arrive: memory while the data set is small and
// the budget allows, a spool file from then on. Once a write fails, the rest of the data set
// is taken and dropped, so that DCMTK reads it to its end and the sender gets an answer;
// `failure()` says why it was lost.
class SpoolConsumer : public TakingConsumer
{
public:
    offile_off_t write(const void *buf, offile_off_t len) override;

    // Where the data set ended up: in memory (`file()` is null) or in the spool file.
    const std::vector<char> &memory() const { return memory_; }
    std::unique_ptr<SpoolFile> &file() { return file_; }
    MemoryBudget::Share &share() { return share_; }
    // Why the data set could not be kept, once a write has failed.
    std::exception_ptr failure() const { return failure_; }

private:
    bool spill();
    bool writeToFile(const char *p, size_t left);
    void lose(std::exception_ptr why);

    std::vector<char> memory_;
    MemoryBudget::Share share_;
    std::unique_ptr<SpoolFile> file_;
    std::exception_ptr failure_;
};

} // namespace dicom::detail
