#include "Error_Handler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

class ErrorLogTest : public QObject
{
    Q_OBJECT

private:
    QString logDir() const { return QCoreApplication::applicationDirPath() + "/Logs"; }
    QString logFile() const { return logDir() + "/ErrorLog.log"; }
    QByteArray logBytes() const
    {
        QFile f(logFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void fail(const AppError &error, const QString &procedure)
    {
        try {
            throw error;
        } catch (...) {
            Error_Handler::LogError(procedure);
        }
    }

private slots:
    void init()
    {
        QDir(logDir()).removeRecursively();
        QFile::remove(logDir());
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }

    void firstFailureCreatesFolderAndOneGermanLine()
    {
        fail(AppError(13, "Port \"abc\" is not a number"), "btnActivate_Click");
        const QByteArray log = logBytes();
        static const QRegularExpression line(
            R"(^\d\d\.\d\d\.\d{4} - \d\d:\d\d:\d\d # 13 - Port "abc" is not a number - btnActivate_Click\r\n$)");
        QVERIFY2(line.match(QString::fromLatin1(log)).hasMatch(), log.constData());
        // The date is today's, day first.
        QVERIFY(log.startsWith(QDate::currentDate().toString("dd.MM.yyyy").toLatin1()));
    }

    void linesAreAppendedInWindows1252()
    {
        fail(AppError(-2147467259, "Unbekannter Fehler in Überweisung"), "Form_Load");
        fail(AppError(76, "Ordner /nicht/da fehlt"), "DCMServer_ImageReceivedAsync");
        const QList<QByteArray> lines = logBytes().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(" # -2147467259 - Unbekannter Fehler in \xDC" "berweisung - Form_Load\r"));
        QVERIFY(lines[1].endsWith(" # 76 - Ordner /nicht/da fehlt - DCMServer_ImageReceivedAsync\r"));
        QVERIFY(lines[2].isEmpty());
    }

    void foreignExceptionsAndLineBreaks()
    {
        try {
            throw std::runtime_error("first\nsecond");
        } catch (...) {
            Error_Handler::LogError("DeActivate");
        }
        QVERIFY(logBytes().endsWith(" # 51 - first second - DeActivate\r\n"));
        QCOMPARE(logBytes().count('\n'), 1);
    }

    void formatsFollowTheLocale()
    {
        QCOMPARE(Error_Handler::logDateFormat(), QStringLiteral("dd.MM.yyyy"));
        QCOMPARE(Error_Handler::logTimeFormat(), QStringLiteral("HH:mm:ss"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(Error_Handler::logDateFormat(), QStringLiteral("M/d/yyyy"));
        QVERIFY(Error_Handler::logTimeFormat().startsWith(QStringLiteral("h:mm:ss")));
    }

    void unwritableLogIsIgnored()
    {
        // A file where the folder should be: the line is lost, the caller goes on.
        QFile blocker(logDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        fail(AppError(1, "x"), "Form_Load");
        QVERIFY(QFileInfo(logDir()).isFile());
    }
};

QTEST_GUILESS_MAIN(ErrorLogTest)
#include "tst_errorlog.moc"
