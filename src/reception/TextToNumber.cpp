#include "TextToNumber.h"

#include "Error_Handler.h"

qint32 textToInt32(const QString &text)
{
    const QString t = text.trimmed();
    const qsizetype start = (!t.isEmpty() && (t[0] == u'+' || t[0] == u'-')) ? 1 : 0;
    bool digits = t.size() > start;
    for (qsizetype i = start; digits && i < t.size(); ++i)
        digits = t[i] >= u'0' && t[i] <= u'9';
    if (!digits)
        throw AppError(ErrorNumber::TypeMismatch, QStringLiteral("\"%1\" is not a number").arg(text));

    qint64 value = 0;
    for (qsizetype i = start; i < t.size() && value <= qint64(INT32_MAX) + 1; ++i)
        value = value * 10 + (t[i].unicode() - u'0');
    if (t[0] == u'-')
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        throw AppError(ErrorNumber::Overflow, QStringLiteral("\"%1\" is out of range").arg(text));
    return qint32(value);
}
