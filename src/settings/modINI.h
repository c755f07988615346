#pragma once

#include <QList>
#include <QString>
#include <utility>

// Profile files of the Windows kind: "[Section]" lines followed by "Key=value" lines, 8-bit
// Windows-1252 text. Section and key names match regardless of case.
namespace modINI {

// The value of `key` in `section`, at most size - 1 characters; `defaultValue` when the file,
// the section or the key is missing. Never fails.
QString ReadINI(const QString &section, const QString &key, const QString &defaultValue,
                const QString &file, qint16 size);

// Replaces the value of `key` in `section`, adding the key, the section or the file when
// missing; every other line stays as it was, byte for byte. Returns false when the file could
// not be written; it is then as it was before.
bool WriteINI(const QString &section, const QString &key, const QString &value, const QString &file);

// The same for several keys in turn, saved at once: the file is replaced whole (a new file
// renamed over it; rewritten in place only where its folder takes no new file, once the room
// is reserved) or left byte for byte as it was. Throws AppError when it could not be saved.
// A value Windows-1252 cannot hold is stored as UTF-8 behind the byte order mark and reads
// back as it was.
void WriteINIKeys(const QString &section, const QList<std::pair<QString, QString>> &keyValues, const QString &file);

} // namespace modINI
