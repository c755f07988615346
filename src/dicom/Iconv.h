#pragma once

#include <iconv.h>
#include <string>
#include <string_view>

namespace dicom::detail {

// Text from one iconv encoding to another, all of it or nothing: a character the target lacks,
// bytes the source cannot read, or one iconv only approximates fail the whole conversion.
class Iconv
{
public:
    Iconv(const char *to, const char *from);
    ~Iconv();
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;

    // False, with `out` undefined, when iconv cannot open the pair or convert all of `in`.
    bool convert(std::string_view in, std::string &out);

private:
    iconv_t cd_;
};

} // namespace dicom::detail
