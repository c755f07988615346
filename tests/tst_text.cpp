#include "Windows1252.h"

#include <QtTest>

// The code page of Settings.ini and the log.
class TextTest : public QObject
{
    Q_OBJECT

private slots:
    void codePage()
    {
        QCOMPARE(Windows1252::encode(QStringLiteral("€Ÿ\u00A0ÿ")), QByteArray("\x80\x9F\xA0\xFF"));
        QCOMPARE(Windows1252::decode(QByteArray("\x80\x81\x9F\xFF")), QStringLiteral("€\u0081Ÿÿ"));
        QCOMPARE(Windows1252::encode(QString::fromUtf8("\xF0\x9F\x98\x80")), QByteArray("?"));
    }
};

QTEST_GUILESS_MAIN(TextTest)
#include "tst_text.moc"
