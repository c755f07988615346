#pragma once

#include <QString>
#include <cstring>
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

// The operating system's text for an errno value, as failures describe it.
inline QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
