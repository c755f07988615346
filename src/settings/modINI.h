#pragma once

#include <QString>

// Profile files of the Windows kind: "[Section]" lines followed by "Key=value" lines, 8-bit
// Windows-1252 text. Section and key names match regardless of case.
namespace modINI {

// The value of `key` in `section`, at most size - 1 characters; `defaultValue` when the file,
// the section or the key is missing. Never fails.
QString ReadINI(const QString &section, const QString &key, const QString &defaultValue,
                const QString &file, qint16 size);

// Replaces the value of `key` in `section`, adding the key, the section or the file when
// missing; every other line stays as it was, byte for byte. Returns false when the file could
// not be written.
bool WriteINI(const QString &section, const QString &key, const QString &value, const QString &file);

} // namespace modINI
