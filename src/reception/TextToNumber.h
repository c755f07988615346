#pragma once

#include <QString>

// The port field as a number: optional blanks, an optional sign, decimal digits, optional
// blanks. Anything else, or a value outside 32 bits, throws AppError.
qint32 textToInt32(const QString &text);
