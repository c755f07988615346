#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <QString>
#include <string>
#include <vector>

namespace dicom::detail {

// The bytes of `text` as one value of `vr` with ISO 2022 code extensions, under the values
// `terms` of (0008,0005) (none: the default repertoire): it starts and ends in value 1's sets
// and designates others by escape sequences. Where no listed set holds a character, a set is
// added: `declared` is then the whole new list of terms, otherwise empty. False when value 1
// names no set this knows, or no set holds a character.
bool encodeIso2022(const std::vector<std::string> &terms, DcmEVR vr, const QString &text, std::string &out,
                   std::vector<std::string> &declared);

} // namespace dicom::detail
