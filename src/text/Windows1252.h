#pragma once

#include <QByteArray>
#include <QString>

// The 8-bit code page of the settings file and the error log. Qt has no codec for it.
namespace Windows1252 {

// Whether every character of `text` is in the code page.
bool holds(const QString &text);

// Characters the code page lacks become '?', one per character (surrogate pairs included).
QByteArray encode(const QString &text);

// Every byte decodes; the five unassigned bytes map to the C1 control of the same value,
// as the Windows conversion does.
QString decode(const char *data, qsizetype size);
inline QString decode(const QByteArray &bytes) { return decode(bytes.constData(), bytes.size()); }

} // namespace Windows1252
