#pragma once

#include <QString>
#include <exception>
#include <string>

// A failure as the error log records it: a signed 32-bit number and a description.
class AppError : public std::exception
{
public:
    AppError(qint32 number, QString description)
        : number_(number), description_(std::move(description)), what_(description_.toStdString())
    {
    }

    qint32 number() const noexcept { return number_; }
    const QString &description() const noexcept { return description_; }
    const char *what() const noexcept override { return what_.c_str(); }

private:
    qint32 number_;
    QString description_;
    std::string what_;
};

// Numbers of the failures this program raises itself.
namespace ErrorNumber {
constexpr qint32 InvalidArgument = 5;
constexpr qint32 Overflow = 6;
constexpr qint32 OutOfMemory = 7;
constexpr qint32 TypeMismatch = 13;
constexpr qint32 InternalError = 51;
constexpr qint32 BadFileName = 52;
constexpr qint32 FileAccess = 75;
constexpr qint32 DicomFailure = 440;
} // namespace ErrorNumber

namespace Error_Handler {

// Appends "date - time # number - description - procedure" to Logs/ErrorLog.log beside the
// executable. Call it from inside a catch block: it reports the exception being handled.
// A log that cannot be written is given up silently.
void LogError(const QString &procedureName) noexcept;

// Date and time as the log writes them under the current default locale.
QString logDateFormat();
QString logTimeFormat();

} // namespace Error_Handler
