#pragma once

// The test program's own folder: its application directory, where Settings.ini and Logs/ appear.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

namespace app {

inline QString dir() { return QCoreApplication::applicationDirPath(); }
inline QString settingsPath() { return dir() + "/Settings.ini"; }
inline QString logDir() { return dir() + "/Logs"; }
inline QString logPath() { return logDir() + "/ErrorLog.log"; }

// A file's bytes; empty when it cannot be read.
inline QByteArray bytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
// Makes `content` the file's bytes; false when it cannot.
inline bool write(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}
inline QByteArray settings() { return bytes(settingsPath()); }
inline QByteArray log() { return bytes(logPath()); }
inline QStringList logLines()
{
    QStringList lines = QString::fromLatin1(log()).split("\r\n");
    lines.removeAll(QString());
    return lines;
}

// As at the first start: neither settings nor a log (nor anything in their places).
inline void clear()
{
    QFile::remove(settingsPath());
    QDir(logDir()).removeRecursively();
    QFile::remove(logDir());
}

} // namespace app
