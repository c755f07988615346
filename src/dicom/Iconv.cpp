#include "Iconv.h"

#include <cerrno>

namespace dicom::detail {

Iconv::Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}

Iconv::~Iconv()
{
    if (cd_ != iconv_t(-1))
        iconv_close(cd_);
}

bool Iconv::convert(std::string_view in, std::string &out)
{
    out.clear();
    if (cd_ == iconv_t(-1))
        return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char *inPtr = const_cast<char *>(in.data());
    size_t inLeft = in.size();
    // The input, then the shift back to the initial state; a full buffer is emptied and the
    // step tried again. A count of approximated characters above zero fails as an error does.
    for (bool flushed = false; !flushed;) {
        char buffer[256];
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        flushed = inLeft == 0;
        const size_t result = flushed ? iconv(cd_, nullptr, nullptr, &outPtr, &outLeft)
                                      : iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
        const bool full = result == size_t(-1) && errno == E2BIG && outLeft < sizeof buffer;
        if (result != 0 && !full)
            return false;
        flushed = flushed && !full;
        out.append(buffer, sizeof buffer - outLeft);
    }
    return true;
}

} // namespace dicom::detail
