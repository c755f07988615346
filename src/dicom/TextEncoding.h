#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <QString>
#include <optional>
#include <string>

namespace dicom::detail {

// The bytes to store `value` as one value of an attribute of `vr` in `ds`, when that takes no
// pass over the whole data set. Text is cut and cleaned to the VR's form and encoded in the
// data set's character set; a data set without one gets "ISO_IR 100" for Latin-1 text, and one
// with ISO 2022 code extensions gets escape sequences, with a set added to (0008,0005) where
// the listed ones cannot hold a character. Nothing, with the data set unchanged, where only a
// pass over the whole data set can tell or do it. Throws AppError.
std::optional<std::string> encodeValueInPlace(DcmDataset &ds, DcmEVR vr, const QString &value);

// As encodeValueInPlace, and otherwise with that pass: a data set without (0008,0005) whose
// text has undeclared 8-bit bytes declares code extensions, any other moves to UTF-8 as a
// whole. Throws AppError when nothing can hold the text.
std::string encodeValue(DcmDataset &ds, DcmEVR vr, const QString &value);

} // namespace dicom::detail
