#pragma once

// Test helpers around DCMTK's command-line tools: they make the images the tests send and
// read back what the receiver stored.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTest>

namespace tools {

struct Result
{
    int exitCode = -1;
    QString output;  // stdout and stderr
};

// Runs a tool to its end. With `pumpEvents` this thread's events keep flowing meanwhile: the
// receiver under test hands its images to this thread.
inline Result run(const QString &program, const QStringList &args, int timeoutMs = 60000, bool pumpEvents = false)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Result r;
    const bool finished = pumpEvents
        ? QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)
        : p.waitForFinished(timeoutMs);
    if (!finished) {
        p.kill();
        p.waitForFinished();
        r.output = QStringLiteral("timed out: ") + program;
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = QString::fromLocal8Bit(p.readAll());
    return r;
}

inline Result runPumping(const QString &program, const QStringList &args, int timeoutMs = 60000)
{
    return run(program, args, timeoutMs, true);
}

// A port nobody listens on right now.
inline quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::AnyIPv4, 0);
    return s.serverPort();
}

// Writes a DICOM file from dcmdump-style text, whose bytes dump2dcm stores as they are;
// `extra` goes to dump2dcm (e.g. "+te").
inline bool makeImage(const QByteArray &dump, const QString &file, const QStringList &extra = {"+te"})
{
    const QString dumpFile = file + ".txt";
    QFile f(dumpFile);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(dump);
    f.close();
    const Result r = run("dump2dcm", QStringList{"-g"} + extra + QStringList{dumpFile, file});
    QFile::remove(dumpFile);
    return r.exitCode == 0 && QFile::exists(file);
}
inline bool makeImage(const QString &dumpText, const QString &file, const QStringList &extra = {"+te"})
{
    return makeImage(dumpText.toUtf8(), file, extra);
}

// A small CT image; `patches` are more dump lines that go after the defaults.
inline QString ctDump(const QString &sopInstanceUid, const QString &more = QString())
{
    QString pixels;
    for (int i = 0; i < 64; ++i)
        pixels += QString::number((i * 977 + 13) & 0xFFFF, 16).rightJustified(4, '0') + (i < 63 ? "\\" : "");
    return QStringLiteral("(0008,0016) UI =CTImageStorage\n"
                          "(0008,0018) UI [%1]\n"
                          "(0008,0060) CS [CT]\n"
                          "(0008,0080) LO [Old Hospital]\n"
                          "(0008,1030) LO [Thorax]\n"
                          "(0010,0010) PN [Doe^John]\n"
                          "(0010,0020) LO [PAT1]\n"
                          "(0020,000d) UI [1.2.826.0.1.3680043.2.1125.1]\n"
                          "(0020,000e) UI [1.2.826.0.1.3680043.2.1125.2]\n"
                          "(0028,0002) US 1\n"
                          "(0028,0004) CS [MONOCHROME2]\n"
                          "(0028,0010) US 8\n"
                          "(0028,0011) US 8\n"
                          "(0028,0100) US 16\n"
                          "(0028,0101) US 16\n"
                          "(0028,0102) US 15\n"
                          "(0028,0103) US 0\n")
               .arg(sopInstanceUid)
        + more + QStringLiteral("(7fe0,0010) OW %1\n").arg(pixels);
}

// The data set as dcmdump prints it in full, one line per attribute, without the file meta
// information; `args` may add e.g. "+U8" to decode text by the image's character set.
inline QStringList datasetDump(const QString &file, const QStringList &args = {})
{
    const Result r = run("dcmdump", QStringList{"-q", "+L"} + args + QStringList{file});
    QStringList lines;
    for (const QString &line : r.output.split('\n')) {
        const QString t = line.trimmed();
        if (t.startsWith('(') && !t.startsWith("(0002,"))
            lines << line.section(" #", 0, 0).trimmed();
    }
    return lines;
}

inline QString attribute(const QString &file, const QString &tag, const QStringList &args = {"+U8"})
{
    for (const QString &line : datasetDump(file, args)) {
        if (line.startsWith('(' + tag + ')'))
            return line;
    }
    return QString();
}

// Text attributes as stored and as pydicom reads them. pydicom decodes ISO 2022 code
// extensions, which DCMTK 3.6.7 cannot with the C library's iconv.
struct Text
{
    QByteArray raw;  // the value's bytes, without trailing padding; null when absent
    QString read;    // pydicom's reading under the file's (0008,0005)
};
inline QMap<QString, Text> readText(const QString &file, const QStringList &tags)
{
    static const char *script = R"(
import json, sys, pydicom
ds = pydicom.dcmread(sys.argv[1])
tags = [(int(t[:4], 16), int(t[5:], 16)) for t in sys.argv[2:]]
raw = {t: ds.get_item(t).value for t in tags if t in ds}
out = {}
for t, value in raw.items():
    if not isinstance(value, (bytes, type(None))):  # (0008,0005) is read at once
        value = '\\'.join([value] if isinstance(value, str) else list(value)).encode()
    out['%04x,%04x' % t] = [(value or b'').rstrip(b' ').hex(), str(ds[t].value)]
print(json.dumps(out))
)";
    const Result r = run("/usr/bin/python3", QStringList{"-c", script, file} + tags);
    QMap<QString, Text> values;
    const QJsonObject json = QJsonDocument::fromJson(r.output.toUtf8()).object();
    if (r.exitCode != 0 || json.isEmpty())
        qWarning("pydicom cannot read %s: %s", qPrintable(file), qPrintable(r.output));
    for (auto it = json.begin(); it != json.end(); ++it) {
        const QJsonArray v = it.value().toArray();
        values.insert(it.key(), Text{QByteArray::fromHex(v.at(0).toString().toLatin1()), v.at(1).toString()});
    }
    return values;
}

// The transfer syntax named in the file meta information.
inline QString transferSyntax(const QString &file)
{
    const Result r = run("dcmdump", {"-q", "+P", "0002,0010", file});
    return r.output.section('=', 1).section(' ', 0, 0).trimmed();
}

} // namespace tools
