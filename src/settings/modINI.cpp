#include "modINI.h"

#include "AppError.h"
#include "Windows1252.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A settings file is a few hundred bytes; anything past this is not a settings file and is
// neither read further nor rewritten.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

struct Line
{
    qsizetype begin;  // first byte
    qsizetype end;    // one past the last byte before the line end
    qsizetype next;   // first byte of the following line
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

QByteArrayView trimmed(QByteArrayView v)
{
    while (!v.isEmpty() && isBlank(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && isBlank(v.back()))
        v.chop(1);
    return v;
}

class Profile
{
public:
    explicit Profile(const QByteArray &data) : data_(data)
    {
        qsizetype pos = 0;
        while (pos < data_.size()) {
            qsizetype nl = data_.indexOf('\n', pos);
            const qsizetype next = nl < 0 ? data_.size() : nl + 1;
            qsizetype end = nl < 0 ? data_.size() : nl;
            if (end > pos && data_.at(end - 1) == '\r')
                --end;
            lines_.push_back({pos, end, next});
            pos = next;
        }
    }

    const std::vector<Line> &lines() const { return lines_; }

    QByteArrayView text(const Line &l) const
    {
        return QByteArrayView(data_.constData() + l.begin, l.end - l.begin);
    }

    // The section name when the line is a section header.
    std::optional<QByteArrayView> sectionName(const Line &l) const
    {
        const QByteArrayView t = trimmed(text(l));
        if (t.isEmpty() || t.front() != '[')
            return std::nullopt;
        QByteArrayView name = t.sliced(1);
        const qsizetype close = name.indexOf(']');
        if (close >= 0)
            name = name.first(close);
        return trimmed(name);
    }

    // Key and value of a "key=value" line; comments and other lines have none.
    bool keyValue(const Line &l, QByteArrayView &key, QByteArrayView &value) const
    {
        const QByteArrayView t = trimmed(text(l));
        if (t.isEmpty() || t.front() == ';' || t.front() == '#' || t.front() == '[')
            return false;
        const qsizetype eq = t.indexOf('=');
        if (eq < 0)
            return false;
        key = trimmed(t.first(eq));
        value = trimmed(t.sliced(eq + 1));
        return true;
    }

    // Index of the first header naming `section`, or -1.
    qsizetype findSection(const QString &section) const
    {
        for (qsizetype i = 0; i < qsizetype(lines_.size()); ++i) {
            const auto name = sectionName(lines_[i]);
            if (name && sameName(*name, section))
                return i;
        }
        return -1;
    }

    static bool sameName(QByteArrayView bytes, const QString &name)
    {
        return Windows1252::decode(bytes.data(), bytes.size()).compare(name, Qt::CaseInsensitive) == 0;
    }

private:
    const QByteArray &data_;
    std::vector<Line> lines_;
};

std::optional<QByteArray> readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = f.read(kMaxFileBytes + 1);
    if (data.size() > kMaxFileBytes)
        return std::nullopt;
    return data;
}

// A value Windows-1252 cannot hold is stored as UTF-8 behind the UTF-8 byte order mark, which
// as Windows-1252 reads "ï»¿", a start no one types; every other value stays Windows-1252.
const QByteArray kUtf8Mark = "\xEF\xBB\xBF";

QByteArray encodeValue(QString text)
{
    // A line break inside a value would start a line of its own.
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (Windows1252::holds(text))
        return Windows1252::encode(text);
    return kUtf8Mark + text.toUtf8();
}

QString decodeValue(QByteArrayView bytes)
{
    if (bytes.startsWith(kUtf8Mark)) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8(bytes.sliced(kUtf8Mark.size()));
        if (!utf8.hasError())
            return text;
    }
    return Windows1252::decode(bytes.data(), bytes.size());
}

[[noreturn]] void throwSaveError(int number, const QString &file, const QString &why)
{
    throw AppError(number, QStringLiteral("Cannot save %1: %2").arg(file, why));
}

// Writes all of `out` at the start of `fd`; 0 or the errno of the failure.
int writeAll(int fd, const QByteArray &out)
{
    for (qsizetype done = 0; done < out.size();) {
        const ssize_t n = ::pwrite(fd, out.constData() + done, size_t(out.size() - done), done);
        if (n < 0 && errno != EINTR)
            return errno;
        done += n > 0 ? n : 0;
    }
    return 0;
}

// Rewrites the file where it is, for a writable file in a folder that takes no new file. The
// room for the new content is reserved first, so a full disk leaves the old content whole.
void overwriteInPlace(const QString &file, const QByteArray &out)
{
    // A FIFO or device in its place must not block the window's thread.
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throwSaveError(errno, file, errnoText(errno));
    struct stat st{};
    int error = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
    if (error == 0 && !out.isEmpty())
        error = ::posix_fallocate(fd, 0, out.size());
    if (error == 0)
        error = writeAll(fd, out);
    if (error == 0 && (::fsync(fd) != 0 || ::ftruncate(fd, out.size()) != 0 || ::fsync(fd) != 0))
        error = errno;
    ::close(fd);
    if (error != 0)
        throwSaveError(error, file, errnoText(error));
}

// Replaces the file whole (a new file beside it, flushed, renamed over it) or leaves it as it
// was. QSaveFile is no help here: it renames a file whose last write failed.
void saveWhole(const QString &file, const QByteArray &out)
{
    // A link keeps pointing where it did: the file it names is the one replaced.
    const QFileInfo info(file);
    const QByteArray path =
        QFile::encodeName(info.isSymLink() && info.exists() ? info.canonicalFilePath() : file);
    QByteArray temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (!QFile::exists(file))
            throwSaveError(e, file, errnoText(e));
        overwriteInPlace(file, out);
        return;
    }
    struct stat st{};
    const mode_t mode = ::stat(path.constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(0644);
    int error = writeAll(fd, out);
    if (error == 0 && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0))
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.constData(), path.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.constData());
        throwSaveError(error, file, errnoText(error));
    }
    // The rename itself lasts once the folder is flushed too.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

// The file's content with `key` of `section` set to `value`.
QByteArray withKey(const QByteArray &data, const QString &section, const QString &key, const QString &value)
{
    const QByteArray newLine = Windows1252::encode(key) + '=' + encodeValue(value) + "\r\n";
    const Profile profile(data);
    const auto &lines = profile.lines();
    const qsizetype header = profile.findSection(section);

    if (header < 0) {
        QByteArray out = data;
        if (!out.isEmpty() && !out.endsWith('\n'))
            out += "\r\n";
        return out + '[' + Windows1252::encode(section) + "]\r\n" + newLine;
    }
    qsizetype lastFilled = header;  // the key goes after the section's last non-blank line
    for (qsizetype i = header + 1; i < qsizetype(lines.size()); ++i) {
        if (profile.sectionName(lines[i]))
            break;
        if (!trimmed(profile.text(lines[i])).isEmpty())
            lastFilled = i;
        QByteArrayView k, v;
        if (profile.keyValue(lines[i], k, v) && Profile::sameName(k, key))
            return data.left(lines[i].begin) + newLine + data.mid(lines[i].next);
    }
    const Line &l = lines[lastFilled];
    QByteArray before = data.left(l.next);
    if (l.next == l.end)  // last line of the file, without a line end
        before += "\r\n";
    return before + newLine + data.mid(l.next);
}

} // namespace

namespace modINI {

QString ReadINI(const QString &section, const QString &key, const QString &defaultValue,
                const QString &file, qint16 size)
{
    const qsizetype capacity = size > 0 ? size - 1 : 0;
    QString result = defaultValue;

    QFile f(file);
    if (f.open(QIODevice::ReadOnly)) {
        const QByteArray data = f.read(kMaxFileBytes);
        const Profile profile(data);
        const auto &lines = profile.lines();
        const qsizetype header = profile.findSection(section);
        for (qsizetype i = header < 0 ? qsizetype(lines.size()) : header + 1; i < qsizetype(lines.size()); ++i) {
            if (profile.sectionName(lines[i]))
                break;
            QByteArrayView k, v;
            if (profile.keyValue(lines[i], k, v) && Profile::sameName(k, key)) {
                const qsizetype nul = v.indexOf('\0');
                if (nul >= 0)
                    v = v.first(nul);
                result = decodeValue(v);
                break;
            }
        }
    }
    return result.left(capacity);
}

void WriteINIKeys(const QString &section, const QList<std::pair<QString, QString>> &keyValues, const QString &file)
{
    QByteArray data;
    if (QFile::exists(file)) {
        auto existing = readFile(file);
        if (!existing)
            throwSaveError(ErrorNumber::FileAccess, file, QStringLiteral("cannot read it whole"));
        data = std::move(*existing);
    }
    for (const auto &[key, value] : keyValues)
        data = withKey(data, section, key, value);
    saveWhole(file, data);
}

bool WriteINI(const QString &section, const QString &key, const QString &value, const QString &file)
{
    try {
        WriteINIKeys(section, {{key, value}}, file);
        return true;
    } catch (const AppError &) {
        return false;
    }
}

} // namespace modINI
