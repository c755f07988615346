#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <QString>
#include <string>

namespace dicom::detail {

// The bytes to store `value` as one value of an attribute of `vr` in `ds`. Text is cut and
// cleaned to the VR's form and encoded in the data set's character set; when that set cannot
// hold it, (0008,0005) is set or the whole data set converted to UTF-8 first. Throws AppError.
std::string encodeValue(DcmDataset &ds, DcmEVR vr, const QString &value);

} // namespace dicom::detail
