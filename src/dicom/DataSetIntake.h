#pragma once

#include "FrontScanner.h"
#include "ImageDelivery.h"
#include "MemoryBudget.h"
#include "Spool.h"

#include <functional>
#include <optional>
#include <vector>

namespace dicom::detail {

// Where DCMTK puts a data set's bytes as they arrive. While its front may be handed on alone,
// the bytes are held until the front is complete; `onFront` then says where the rest goes:
// into the files of a delivery, as it came, or to the spool with the bytes so far, like
// every data set that is parsed whole, or nowhere (the image is refused already). DCMTK
// always reads the data set to its end, so that the sender gets an answer.
class DataSetIntake : public TakingConsumer
{
public:
    enum class Rest { Files, Spool, Drop };
    struct Front
    {
        const uint8_t *bytes;
        size_t size;
        uint32_t elements;  // its top-level elements
    };
    using OnFront = std::function<Rest(const Front &)>;

    // Without a scanner, every byte goes to the spool.
    DataSetIntake(std::optional<FrontScanner> scanner, OnFront onFront)
        : scanner_(std::move(scanner)), onFront_(std::move(onFront))
    {
    }

    offile_off_t write(const void *buf, offile_off_t len) override;

    // The files the rest goes to, once onFront has chosen them.
    void setFiles(ImageDelivery *files) { files_ = files; }
    // The data set has ended: one whose front never became complete goes to the spool too.
    void end();
    Rest rest() const { return rest_; }
    SpoolConsumer &spool() { return spool_; }

private:
    void toSpool();

    std::optional<FrontScanner> scanner_;
    OnFront onFront_;
    bool frontDone_ = false;
    Rest rest_ = Rest::Spool;
    std::vector<uint8_t> front_;
    MemoryBudget::Share share_;
    ImageDelivery *files_ = nullptr;
    SpoolConsumer spool_;
};

} // namespace dicom::detail
