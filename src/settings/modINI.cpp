#include "modINI.h"

#include "Windows1252.h"

#include <QFile>
#include <QSaveFile>
#include <optional>

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

QByteArray encodeValue(const QString &text)
{
    QByteArray bytes = Windows1252::encode(text);
    // A line break inside a value would start a line of its own.
    bytes.replace('\r', ' ').replace('\n', ' ');
    return bytes;
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
                result = Windows1252::decode(v.data(), v.size());
                break;
            }
        }
    }
    return result.left(capacity);
}

bool WriteINI(const QString &section, const QString &key, const QString &value, const QString &file)
{
    QByteArray data;
    if (QFile::exists(file)) {
        auto existing = readFile(file);
        if (!existing)
            return false;
        data = std::move(*existing);
    }

    const QByteArray newLine = Windows1252::encode(key) + '=' + encodeValue(value) + "\r\n";
    const Profile profile(data);
    const auto &lines = profile.lines();
    const qsizetype header = profile.findSection(section);

    QByteArray out;
    if (header < 0) {
        out = data;
        if (!out.isEmpty() && !out.endsWith('\n'))
            out += "\r\n";
        out += '[' + Windows1252::encode(section) + "]\r\n" + newLine;
    } else {
        qsizetype lastFilled = header;  // the key goes after the section's last non-blank line
        qsizetype replace = -1;
        for (qsizetype i = header + 1; i < qsizetype(lines.size()); ++i) {
            if (profile.sectionName(lines[i]))
                break;
            if (!trimmed(profile.text(lines[i])).isEmpty())
                lastFilled = i;
            QByteArrayView k, v;
            if (profile.keyValue(lines[i], k, v) && Profile::sameName(k, key)) {
                replace = i;
                break;
            }
        }
        if (replace >= 0) {
            const Line &l = lines[replace];
            out = data.left(l.begin) + newLine + data.mid(l.next);
        } else {
            const Line &l = lines[lastFilled];
            QByteArray before = data.left(l.next);
            if (l.next == l.end)  // last line of the file, without a line end
                before += "\r\n";
            out = before + newLine + data.mid(l.next);
        }
    }

    QSaveFile save(file);
    save.setDirectWriteFallback(true);
    if (!save.open(QIODevice::WriteOnly))
        return false;
    if (save.write(out) != out.size()) {
        save.cancelWriting();
        return false;
    }
    return save.commit();
}

} // namespace modINI
