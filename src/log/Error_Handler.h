#pragma once

#include "AppError.h"

#include <QString>

namespace Error_Handler {

// Appends "date - time # number - description - procedure" to Logs/ErrorLog.log, beside the
// executable or in the user's state folder (AppPaths). Call it from inside a catch block: it reports the exception being handled.
// A log that cannot be written is given up silently.
void LogError(const QString &procedureName) noexcept;

// For a program that keeps its log elsewhere (the service): ErrorLog.log goes into `folder`
// itself; empty means AppPaths' folder again. Call before anything is logged.
void SetLogFolder(const QString &folder);
// Each line also goes to standard error (UTF-8), whether or not the file could be written.
void SetCopyToStandardError(bool on);

// Writes `line` and a line feed to standard error (UTF-8) in one write; never fails.
void ToStandardError(const QString &line) noexcept;

// Date and time as the log writes them under the current default locale.
QString logDateFormat();
QString logTimeFormat();

} // namespace Error_Handler
