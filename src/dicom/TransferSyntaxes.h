#pragma once

#include <vector>

namespace dicom::detail {

// The transfer syntaxes a presentation context may use, most preferred first.
const std::vector<const char *> &acceptedTransferSyntaxes();

// Every storage SOP class DCMTK knows, and Verification.
const std::vector<const char *> &acceptedAbstractSyntaxes();

} // namespace dicom::detail
