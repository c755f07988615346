#pragma once

#include <QString>
#include <exception>

namespace dicom {
class Image;
} // namespace dicom

// The received-image handler of both programs, the window and the service.
namespace ReceivedImage {

// The step a failure to store an image is logged under, by either program.
extern const QString kProcedure;

// Writes `institutionName` into (0008,0080) and asks for the image to be stored as
// <folder>/<SOP Instance UID>.dcm, replacing an earlier file. A failure is logged under
// kProcedure and the image is refused; the write itself follows once this has returned.
void Store(dicom::Image &Image, const QString &institutionName, const QString &folder) noexcept;

// Logs `failure` under kProcedure: the server's write-failure handler.
void LogFailure(std::exception_ptr failure) noexcept;

} // namespace ReceivedImage
