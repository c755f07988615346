#include "Error_Handler.h"

#include "AppPaths.h"
#include "Windows1252.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QHash>
#include <QMutex>
#include <chrono>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
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

// Guards the file and the counts below: failures may be logged from several threads.
QMutex logMutex;

// Set once at start-up, before any failure can be logged.
QString folderOverride;
bool alsoToStandardError = false;

QString logFolder()
{
    return folderOverride.isEmpty() ? AppPaths::logFolder() : folderOverride;
}

// Past this size the log is moved to ErrorLog.log.1 (replacing the one before) and begun anew.
constexpr qint64 kRotateBytes = 10 * 1024 * 1024;
// What a peer can make the log write: so many lines of one kind (procedure and number) a
// minute; the rest are counted, and the next line written says how many there were.
constexpr int kLinesPerMinute = 10;
constexpr qsizetype kMaxKinds = 64;
constexpr qint64 kMinuteMs = 60 * 1000;

struct Kind
{
    qint64 since = 0;  // start of the current minute, steady milliseconds
    int written = 0;
    qint64 left = 0;  // lines left out in this minute
};
QHash<QString, Kind> kinds;

// Whether this failure gets its line; `note` tells of the lines left out before it.
bool admit(const QString &procedureName, qint32 number, QString &note)
{
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch()).count();
    const QString key = procedureName + QLatin1Char('#') + QString::number(number);
    if (kinds.size() >= kMaxKinds && !kinds.contains(key))
        kinds.clear();
    Kind &kind = kinds[key];
    if (kind.written == 0 || now - kind.since >= kMinuteMs) {
        if (kind.left > 0)
            note = QStringLiteral(" (and %1 more like it in the minute before, not written)").arg(kind.left);
        kind = Kind{now, 0, 0};
    }
    if (kind.written >= kLinesPerMinute) {
        ++kind.left;
        return false;
    }
    ++kind.written;
    return true;
}

// The log opened for appending, or -1. Only a regular file, and never a wait: a FIFO in its
// place would block the window's thread for good.
int openLog(const QString &logDir)
{
    if (!QFileInfo(logDir).isDir() && !QDir().mkpath(logDir))
        return -1;
    const QByteArray path = QFile::encodeName(logDir + QStringLiteral("/ErrorLog.log"));
    struct stat st{};
    if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= kRotateBytes)
        ::rename(path.constData(), (path + ".1").constData());
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Appends the line to the log; a line that cannot be written whole is taken back and, unless
// it went there already, goes to standard error instead.
void appendLine(const QString &logDir, const QString &line, bool fallBack)
{
    const QByteArray bytes = Windows1252::encode(line) + "\r\n";
    bool written = false;
    const int fd = openLog(logDir);
    if (fd >= 0) {
        struct stat st{};
        const bool sized = ::fstat(fd, &st) == 0;
        const ssize_t n = ::write(fd, bytes.constData(), size_t(bytes.size()));
        written = n == bytes.size();
        if (!written && n > 0 && sized)
            (void)!::ftruncate(fd, st.st_size);
        ::close(fd);
    }
    if (!written && fallBack) {
        const QByteArray text = "ErrorLog.log not writable: " + line.toLocal8Bit() + '\n';
        [[maybe_unused]] const ssize_t r = ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
    }
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

        const QMutexLocker lock(&logMutex);
        QString note;
        if (!admit(procedureName, number, note))
            return;
        const QString line = date + QStringLiteral(" - ") + time + QStringLiteral(" # ") + QString::number(number)
                             + QStringLiteral(" - ") + description + note + QStringLiteral(" - ") + procedureName;
        if (alsoToStandardError)
            ToStandardError(line);
        appendLine(logFolder(), line, !alsoToStandardError);
    } catch (...) {
        // Nowhere left to report a failure of the log itself.
    }
}

} // namespace Error_Handler
