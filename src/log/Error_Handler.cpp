#include "Error_Handler.h"

#include "AppPaths.h"
#include "Windows1252.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>
#include <new>
#include <unistd.h>

namespace {

void describeCurrentException(qint32 &number, QString &description)
{
    const std::exception_ptr current = std::current_exception();
    if (!current) {
        number = 0;
        description.clear();
        return;
    }
    try {
        std::rethrow_exception(current);
    } catch (const AppError &e) {
        number = e.number();
        description = e.description();
    } catch (const std::bad_alloc &) {
        number = ErrorNumber::OutOfMemory;
        description = QStringLiteral("Out of memory");
    } catch (const std::exception &e) {
        number = ErrorNumber::InternalError;
        description = QString::fromLocal8Bit(e.what());
    } catch (...) {
        number = ErrorNumber::InternalError;
        description = QStringLiteral("Unknown failure");
    }
}

// Two empty files created by two failures at once must not truncate each other's line.
QMutex logMutex;

// Set once at start-up, before any failure can be logged.
QString folderOverride;
bool alsoToStandardError = false;

QString logFolder()
{
    return folderOverride.isEmpty() ? AppPaths::logFolder() : folderOverride;
}


} // namespace

namespace Error_Handler {

QString logDateFormat()
{
    // Qt's short date has a two-digit year in many locales; the log always shows four.
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    return format;
}

QString logTimeFormat()
{
    // Qt's short time has no seconds; add them after the minutes with the locale's separator.
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1Char('s'))) {
        const qsizetype minutes = format.indexOf(QLatin1String("mm"));
        if (minutes > 0)
            format.insert(minutes + 2, format.at(minutes - 1) + QLatin1String("ss"));
        else
            format = QStringLiteral("HH:mm:ss");
    }
    return format;
}

void SetLogFolder(const QString &folder)
{
    folderOverride = folder;
}

void SetCopyToStandardError(bool on)
{
    alsoToStandardError = on;
}

void ToStandardError(const QString &line) noexcept
{
    try {
        // One write per line, so that lines of several threads do not interleave; a failure
        // is ignored like that of the file.
        const QByteArray bytes = line.toUtf8() + '\n';
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
    } catch (...) {
    }
}

void LogError(const QString &procedureName) noexcept
{
    try {
        qint32 number = 0;
        QString description;
        describeCurrentException(number, description);

        const QLocale locale;
        const QString date = locale.toString(QDate::currentDate(), logDateFormat());
        const QString time = locale.toString(QTime::currentTime(), logTimeFormat());
        // One failure, one line, whatever the description carries.
        description.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QString line = date + QStringLiteral(" - ") + time + QStringLiteral(" # ")
            + QString::number(number) + QStringLiteral(" - ") + description + QStringLiteral(" - ")
            + procedureName;
        if (alsoToStandardError)
            ToStandardError(line);

        const QMutexLocker lock(&logMutex);
        const QString logDir = logFolder();
        const QString logFile = logDir + QStringLiteral("/ErrorLog.log");
        if (!QFileInfo(logDir).isDir()) {
            // In the user's state folder the parents may be missing too.
            if (!QDir().mkpath(logDir))
                return;
            QFile created(logFile);
            if (!created.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return;
        } else if (!QFileInfo::exists(logFile)) {
            QFile created(logFile);
            if (!created.open(QIODevice::WriteOnly))
                return;
        }

        QFile file(logFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        file.write(Windows1252::encode(line) + "\r\n");
        file.close();
    } catch (...) {
        // Nowhere left to report a failure of the log itself.
    }
}

} // namespace Error_Handler
