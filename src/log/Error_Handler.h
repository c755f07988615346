#pragma once

#include "AppError.h"

#include <QString>

namespace Error_Handler {

// Appends "date - time # number - description - procedure" to Logs/ErrorLog.log, beside the
// executable or in the user's state folder (AppPaths). Call it from inside a catch block: it reports the exception being handled.
// A log that cannot be written is given up silently.
void LogError(const QString &procedureName) noexcept;

// Date and time as the log writes them under the current default locale.
QString logDateFormat();
QString logTimeFormat();

} // namespace Error_Handler
