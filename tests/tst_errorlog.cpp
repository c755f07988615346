#include "AppFolder.h"
#include "Error_Handler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class ErrorLogTest : public QObject
{
    Q_OBJECT

private:
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
        app::clear();
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }

    void firstFailureCreatesFolderAndOneGermanLine()
    {
        fail(AppError(13, "Port \"abc\" is not a number"), "btnActivate_Click");
        const QByteArray log = app::log();
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
        const QList<QByteArray> lines = app::log().split('\n');
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
        QVERIFY(app::log().endsWith(" # 51 - first second - DeActivate\r\n"));
        QCOMPARE(app::log().count('\n'), 1);
    }

    void formatsFollowTheLocale()
    {
        QCOMPARE(Error_Handler::logDateFormat(), QStringLiteral("dd.MM.yyyy"));
        QCOMPARE(Error_Handler::logTimeFormat(), QStringLiteral("HH:mm:ss"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(Error_Handler::logDateFormat(), QStringLiteral("M/d/yyyy"));
        QVERIFY(Error_Handler::logTimeFormat().startsWith(QStringLiteral("h:mm:ss")));
    }

    void aLineTheLogCannotTakeGoesToStandardError_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::newRow("Logs is a file") << "file";
        QTest::newRow("the log is a FIFO nobody reads") << "fifo";
        QTest::newRow("the disk is full") << "full";
    }
    void aLineTheLogCannotTakeGoesToStandardError()
    {
        QFETCH(QString, blocker);
        const QByteArray old = "01.01.2026 - 00:00:00 # 1 - earlier - Form_Load\r\n";
        if (blocker == "file") {
            QVERIFY(app::write(app::logDir(), {}));
        } else {
            QVERIFY(QDir().mkpath(app::logDir()));
            if (blocker == "fifo")
                QVERIFY(::mkfifo(QFile::encodeName(app::logPath()).constData(), 0644) == 0);
            else
                QVERIFY(app::write(app::logPath(), old));
        }
        // A pipe: the file-size limit would stop a file standing in for standard error too.
        int err[2];
        QVERIFY(::pipe(err) == 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(err[1], STDERR_FILENO);
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{rlim_t(old.size()), rlim_t(old.size())};
            if (blocker == "full" && ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                ::_exit(2);
            fail(AppError(28, "No space left on device"), "btnActivate_Click");
            ::_exit(0);
        }
        // A log that blocks would hold the child for good: wait a bounded time.
        ::close(err[1]);
        int status = -1;
        for (int i = 0; i < 200 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
            QThread::msleep(50);
        if (::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(err[0]);
            QFAIL("logging did not return");
        }
        QCOMPARE(status, 0);
        QFile written;
        QVERIFY(written.open(err[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        QVERIFY2(written.readAll().contains("# 28 - No space left on device - btnActivate_Click\n"), qPrintable(blocker));
        if (blocker == "full")
            QCOMPARE(app::log(), old);  // nothing half-written
    }

    void aPeerCannotGrowTheLogWithoutEnd()
    {
        // Repeats of one kind: ten lines a minute; other kinds are not held back by them.
        for (int i = 0; i < 25; ++i)
            fail(AppError(1001, QStringLiteral("refused name %1").arg(i)), "DCMServer_ImageReceivedAsync");
        fail(AppError(1002, "another kind"), "DCMServer_ImageReceivedAsync");
        QCOMPARE(app::log().count('\n'), 11);
        QVERIFY(app::log().endsWith(" # 1002 - another kind - DCMServer_ImageReceivedAsync\r\n"));

        // Past its size the log is moved aside once and begun anew.
        QFile big(app::logPath());
        QVERIFY(big.resize(10 * 1024 * 1024));
        fail(AppError(1003, "after the turn"), "Form_Load");
        QCOMPARE(QFileInfo(app::logPath() + ".1").size(), qint64(10 * 1024 * 1024));
        QCOMPARE(app::log().count('\n'), 1);
        QVERIFY(app::log().endsWith(" # 1003 - after the turn - Form_Load\r\n"));
        QFile::remove(app::logPath() + ".1");
    }
};

QTEST_GUILESS_MAIN(ErrorLogTest)
#include "tst_errorlog.moc"
