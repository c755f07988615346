#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcvr.h>

#include "AppError.h"

#include <QString>
#include <optional>
#include <string>

namespace dicom::detail {

// The bytes to store `value` as one value of an attribute of `vr` in `ds`, when that takes no
// pass over the whole data set. Text is cut and cleaned to the VR's form and encoded in the
// data set's character set; a data set without one gets "ISO_IR 100" for Latin-1 text, and one
// with ISO 2022 code extensions gets escape sequences, with a set added to (0008,0005) where
// the listed ones cannot hold a character. Nothing, with the data set unchanged, where only a
// pass over the whole data set can tell or do it. Text of ASCII alone is written as it is
// where (0008,0005) names sets this cannot read: every reader that takes such a declaration
// starts in ASCII. Throws AppError.
std::optional<std::string> encodeWithoutConvertingDataSet(DcmDataset &ds, DcmEVR vr, const QString &value);

// The image itself keeps the text out: DCMTK cannot read its character set, or its bytes in
// that set, so it cannot be converted to UTF-8 either. Sending it again changes nothing.
class UnencodableText : public AppError
{
public:
    using AppError::AppError;
};

// As encodeWithoutConvertingDataSet, and otherwise with that pass: a data set without (0008,0005) whose
// text has undeclared 8-bit bytes declares code extensions, any other moves to UTF-8 as a
// whole. Throws UnencodableText when nothing can hold the text, AppError on other failures.
std::string encodeValue(DcmDataset &ds, DcmEVR vr, const QString &value);

} // namespace dicom::detail
