#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcostrma.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dicom::detail {

// Memory the process lets received data sets hold at once, whatever peers send: small data
// sets stay in memory within it, all others go to a spool file.
class MemoryBudget
{
public:
    // Bytes taken from the budget, given back when destroyed.
    class Share
    {
    public:
        Share() = default;
        ~Share() { giveBack(); }
        Share(Share &&other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
        Share &operator=(Share &&other) noexcept;
        void add(Share &&other);
        uint64_t bytes() const { return bytes_; }
        void giveBack();

    private:
        friend class MemoryBudget;
        explicit Share(uint64_t bytes) : bytes_(bytes) {}
        uint64_t bytes_ = 0;
    };

    // At once, or nothing.
    static Share tryTake(uint64_t bytes);
    // Waits while others hold the budget, until `giveUp` says so; nothing then.
    static Share take(uint64_t bytes, const std::function<bool()> &giveUp);
};

// A spool file of ours: created hidden in the spool folder, locked while it lives (so that a
// later process can tell it from one a dead process left), removed with this object.
class SpoolFile
{
public:
    // Throws AppError when no spool file can be made.
    SpoolFile();
    ~SpoolFile();
    SpoolFile(const SpoolFile &) = delete;
    SpoolFile &operator=(const SpoolFile &) = delete;

    const std::string &path() const { return path_; }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

// Where DCMTK puts a data set's bytes as they arrive: memory while the data set is small and
// the budget allows, a spool file from then on. Its first failing write is kept, so that
// DCMTK sees it.
class SpoolConsumer : public DcmConsumer
{
public:
    OFBool good() const override { return error_ == 0; }
    OFCondition status() const override;
    OFBool isFlushed() const override { return true; }
    offile_off_t avail() const override { return good() ? offile_off_t(1) << 30 : 0; }
    offile_off_t write(const void *buf, offile_off_t len) override;
    void flush() override {}

    // Where the data set ended up: in memory (`file()` is null) or in the spool file.
    const std::vector<char> &memory() const { return memory_; }
    std::unique_ptr<SpoolFile> &file() { return file_; }
    MemoryBudget::Share &share() { return share_; }
    // Why the data set could not be kept, once a write has failed.
    std::exception_ptr failure() const { return failure_; }

private:
    bool spill();
    bool writeToFile(const char *p, size_t left);

    std::vector<char> memory_;
    MemoryBudget::Share share_;
    std::unique_ptr<SpoolFile> file_;
    int error_ = 0;
    std::exception_ptr failure_;
};

class SpoolStream : public DcmOutputStream
{
public:
    explicit SpoolStream(SpoolConsumer &consumer) : DcmOutputStream(&consumer) {}
};

} // namespace dicom::detail
