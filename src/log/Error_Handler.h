#pragma once

#include "AppError.h"

#include <QString>

namespace Error_Handler {

// Appends "date - time # number - description - procedure" to Logs/ErrorLog.log, beside the
// executable or in the user's state folder (AppPaths). Call it from inside a catch block: it reports the exception being handled.
// Only a regular file is written, without ever waiting; a line that cannot be appended
// (a full disk, "Logs" a file, a FIFO in the log's place) goes to standard error instead.
// A peer cannot make it grow without end: at most 10 lines a minute of one kind (procedure
// and number), the next one telling how many were left out; past 10 MiB the file becomes
// ErrorLog.log.1 and a new one begins.
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
